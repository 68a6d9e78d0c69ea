// provider_paraphrase.cpp: paraphrase generation.
//
// The gateway times out now and then; only that failure earns another attempt, at most three.
#include "provider.hpp"

namespace provider {

using namespace glue;

namespace {

constexpr int max_retries = 3;
constexpr long pause_seconds = 2;
constexpr const char* timeout_warning =
    "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds.";

/// One attempt: the paraphrasing model's answer, or python_error with the failure pending.
Ref attempt(PyObject* self, PyObject* prompt) {
    Ref model = getattr(self, names::paraphrase_model);
    return generate(model, prompt);
}

/// Whether the error's text form carries the gateway's status code anywhere.
bool is_gateway_timeout(PyObject* error) {
    Ref message = str(error);
    Ref code = text("503");
    return check_status(PySequence_Contains(message, code)) != 0;
}

/// The provider's own logger when it has one, else the module's fallback.
Ref retry_logger(const Args& a) {
    Ref logger = lookup_attr(a[0], names::logger);
    if (logger && logger.get() != Py_None) return logger;
    return a.global(names::default_logger);
}

void warn(const Args& a) {
    Ref logger = retry_logger(a);
    call_method(logger, names::log_warning, Ref(text(timeout_warning)).get());
}

/// `time.sleep(2)` through the module's `time`, looked up now so that it can be replaced.
void pause(const Args& a) {
    Ref time = a.global(names::time);
    call_method(time, names::sleep, Ref(integer(pause_seconds)).get());
}

/// get_paraphrasing_responses(prompt)
constexpr Param prompt_params[] = {{"self"}, {"prompt"}};
Ref paraphrases(const Args& a) {
    PyObject *self = a[0], *prompt = a[1];
    int retries = 0;
    Ref last_timeout;
    while (retries < max_retries) {
        try {
            return attempt(self, prompt);
        } catch (const python_error&) {
            if (!pending_is(PyExc_Exception)) throw;
        }
        Ref error = fetch_error();
        // `except Exception as error:` what runs from here on sees it as the error being handled.
        Handling handling(error);
        if (!is_gateway_timeout(error)) reraise(error);
        retries++;
        warn(a);
        // The warning promises a pause before the next attempt; after the last there is none.
        if (retries < max_retries) pause(a);
        last_timeout = error;
    }
    // Chained as the cause, so that the gateway's own report is not lost.
    Ref message = check(PyUnicode_FromFormat("Failed to generate paraphrases after %d retries", retries));
    raise_new(PyExc_Exception, message, last_timeout);
}

/// _WarningLogger.log_warning(message): a warning on the logger named after this module.
constexpr Param message_params[] = {{"self"}, {"message"}};
Ref warning_to_logging(const Args& a) {
    PyObject* message = a[1];
    Ref logging = import_module(a, "logging");
    Ref module_name = a.global(names::module_name);
    Ref logger = call_method(logging, names::getLogger, module_name.get());
    call_method(logger, names::warning, message);
    return none();
}

}  // namespace

const FunctionDef get_paraphrasing_responses{"get_paraphrasing_responses", prompt_params, nullptr, paraphrases, nullptr,
    "Return the paraphrasing model's generated text for `prompt`, as the client returns it.\n"
    "\n"
    "A gateway time-out (an error whose text contains 503) is logged as a warning and retried, with\n"
    "a pause; after 3 attempts in all the call fails with Exception. Other errors pass through."};
const FunctionDef log_warning{"log_warning", message_params, nullptr, warning_to_logging};

}  // namespace provider
