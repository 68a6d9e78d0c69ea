// provider_construction.cpp: provider construction and validation.
//
// The configuration is checked before the client is touched, so a bad one never reaches it.
#include "provider.hpp"

namespace provider {

using namespace glue;

namespace {

/// PLENXAuvrixAIProvider(project_id, credentials, rate_limit=8, generate_params={}, model_name=None)
constexpr Param init_params[] = {
    {"self"},
    {"project_id"},
    {"credentials"},
    {"rate_limit", nullptr, integer_default(8)},
    {"generate_params", nullptr, empty_mapping},
    {"model_name", nullptr, no_value},
};
Ref init(const Args& a) {
    PyObject *self = a[0], *project_id = a[1], *credentials = a[2], *rate_limit = a[3], *generate_params = a[4],
             *model_name = a[5];
    setattr(self, names::rate_limit, rate_limit);
    setattr(self, names::project_id, project_id);
    setattr(self, names::generate_params, generate_params);
    setattr(self, names::credentials, credentials);
    setattr(self, names::model_name, model_name);
    // Through the instance, so that a subclass's own versions are the ones run.
    call_method(self, names::validate);
    setattr(self, names::model, call_method(self, names::get_model_object));
    setattr(self, names::paraphrase_model, call_method(self, names::get_paraphrasing_model));
    return none();
}

/// Whether `get(credentials, key)` gives no value, with `get` looked up afresh.
bool credential_missing(const Args& a, const Name& key) {
    Ref get = a.global(names::get);
    Ref credentials = getattr(a[0], names::credentials);
    Ref value = call(get, credentials.get(), key.get());
    return value.get() == Py_None;
}

/// __validate(): only no value is refused; empty strings and odd types pass on to the client.
Ref check_configuration(const Args& a) {
    PyObject* self = a[0];
    if (getattr(self, names::project_id).get() == Py_None)
        raise(PyExc_ValueError, "Project id should be specified for PLENX Auvrix AI models");
    if (credential_missing(a, names::url))
        raise(PyExc_ValueError, "url is missing from the specified Auvrix AI credentials");
    if (credential_missing(a, names::apikey))
        raise(PyExc_ValueError, "apikey is missing from the specified Auvrix AI credentials");
    if (getattr(self, names::model_name).get() == Py_None)
        raise(PyExc_ValueError, "The provided model_name is None. Please provide a valid model name.");
    return none();
}

/// `ModelInference(model_id=..., params=..., credentials=self.credentials, project_id=self.project_id)`.
Ref new_model_object(PyObject* self, PyObject* model_inference, PyObject* model_id, PyObject* params) {
    Ref credentials = getattr(self, names::credentials);
    Ref project_id = getattr(self, names::project_id);
    Ref keywords = name_tuple({&names::model_id, &names::params, &names::credentials, &names::project_id});
    return call_kw(model_inference, keywords, model_id, params, credentials.get(), project_id.get());
}

/// __get_model_object(model_name=None, generate_params={}): a new model object every call.
/// A missing client surfaces as the host's own import error here, not as the install hint.
constexpr Param model_object_params[] = {
    {"self"},
    {"model_name", nullptr, no_value},
    {"generate_params", nullptr, empty_mapping},
};
Ref model_object(const Args& a) {
    PyObject *self = a[0], *model_name = a[1], *generate_params = a[2];
    Ref model_inference = import_from(a, client_models, names::ModelInference);
    // Only no value falls back: an empty model name is the caller's choice.
    Ref model_id = model_name != Py_None ? own(model_name) : getattr(self, names::model_name);
    // The caller's mapping replaces the provider's whole; the two are never merged.
    Ref params = truthy(generate_params) ? own(generate_params) : getattr(self, names::generate_params);
    return new_model_object(self, model_inference, model_id, params);
}

/// __get_paraphrasing_model(): the fixed paraphrasing model, whatever the provider was given.
Ref paraphrasing_model(const Args& a) {
    Ref model_inference = import_client_name(a, client_models, names::ModelInference);
    Ref param_names = import_client_name(a, client_metanames, names::GenTextParamsMetaNames);
    Ref params = check(PyDict_New());
    set_item(params, getattr(param_names, names::DECODING_METHOD), Ref(text("greedy")));
    set_item(params, getattr(param_names, names::MAX_NEW_TOKENS), Ref(integer(4096)));
    Ref paraphrasing = a.global(names::ParaphrasingModel);
    // The member itself is the identifier; the client accepts it as such.
    Ref model_id = getattr(paraphrasing, names::META_LLAMA_3_3_70B_INSTRUCT);
    return new_model_object(a[0], model_inference, model_id, params);
}

}  // namespace

Ref import_client_name(const Args& a, const char* module, const Name& name) {
    try {
        return import_from(a, module, name);
    } catch (const python_error&) {
        if (!pending_is(PyExc_Exception)) throw;
    }
    Ref error = fetch_error();
    Handling handling(error);  // `except Exception: raise Exception(install_hint)`
    raise_new(PyExc_Exception, Ref(text(install_hint)));
}

Ref generate(PyObject* model, PyObject* prompt) {
    Ref keywords = name_tuple({&names::prompt});
    return call_method_kw(model, names::generate_text, keywords, prompt);
}

const FunctionDef provider_init{"__init__", init_params, nullptr, init, nullptr,
    "Check the configuration, then make the generation and paraphrasing model objects.\n"
    "\n"
    "ValueError names what is missing (project_id, the url or apikey of `credentials`, model_name)\n"
    "before anything is contacted. The model objects come from the platform's client package\n"
    "plenx_auvrix_ai, which must be installed."};
const FunctionDef validate{"__validate", self_only, nullptr, check_configuration};
const FunctionDef get_model_object{"__get_model_object", model_object_params, nullptr, model_object};
const FunctionDef get_paraphrasing_model{"__get_paraphrasing_model", self_only, nullptr, paraphrasing_model};

}  // namespace provider
