"""The provider's retry path against a plain-Python statement of it, in lockstep: scripted client
failures, loggers and pauses that look at the exception being handled or raise, with and without
an exception being handled by the caller. Results, errors with their cause/context chains, and
everything the logger and the pause saw must agree."""
import sys
import types

import pytest

from hypothesis import given, settings
from hypothesis import strategies as st

from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider_module

MAX_RETRIES = 3
WARNING = "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds."


def model_paraphrases(self, prompt, time, default_logger):
    """get_paraphrasing_responses, as plain Python."""
    retries = 0
    last_timeout = None
    while retries < MAX_RETRIES:
        try:
            return self.paraphrase_model.generate_text(prompt=prompt)
        except Exception as error:
            if "503" not in str(error):
                raise
            retries += 1
            logger = getattr(self, "logger", None)
            (logger if logger is not None else default_logger).log_warning(WARNING)
            if retries < MAX_RETRIES:
                time.sleep(2)
            last_timeout = error
    raise Exception(f"Failed to generate paraphrases after {retries} retries") from last_timeout


class Gateway(Exception):
    pass


def handled():
    """What sys.exc_info() shows, as comparable data."""
    error = sys.exc_info()[1]
    return None if error is None else (type(error).__name__, str(error))


def chain(error, depth=0):
    if error is None or depth > 6:
        return None
    return (type(error).__name__, str(error), error.__suppress_context__,
            chain(error.__cause__, depth + 1), chain(error.__context__, depth + 1))


def behaviour(kind, seen, name):
    """A logger's log_warning or the pause: records what is being handled, and may raise."""
    def act(*args):
        seen.append((name, args, handled()))
        if kind == "raises":
            raise ValueError(name)
        if kind == "raises in handler":
            try:
                raise KeyError("A")
            except KeyError:
                raise ValueError("B")
    return act


def run(paraphrase, outcomes, logger_kind, sleep_kind, outer):
    seen = []
    script = list(outcomes)

    def generate_text(**kwargs):
        seen.append(("generate", tuple(kwargs), handled()))
        outcome = script.pop(0) if script else "ok"
        if outcome == "ok":
            return ["paraphrase"]
        raise Gateway(outcome) if outcome != "interrupt" else KeyboardInterrupt()

    provider = types.SimpleNamespace(paraphrase_model=types.SimpleNamespace(generate_text=generate_text))
    if logger_kind != "absent":
        provider.logger = None if logger_kind == "none" else types.SimpleNamespace(
            log_warning=behaviour(logger_kind, seen, "log"))
    default_logger = types.SimpleNamespace(log_warning=behaviour("plain", seen, "default log"))
    time = types.SimpleNamespace(sleep=behaviour(sleep_kind, seen, "sleep"))

    def call():
        try:
            return ("returned", paraphrase(provider, "prompt", time, default_logger))
        except BaseException as error:  # noqa: BLE001 - compared below
            return ("raised", chain(error))

    if not outer:
        return call(), seen
    try:
        raise LookupError("outer")
    except LookupError:
        return call(), seen


def compiled_paraphrases(monkeypatch):
    def paraphrase(provider, prompt, time, default_logger):
        monkeypatch.setattr(provider_module, "time", time)
        monkeypatch.setattr(provider_module, "_default_logger", default_logger)
        return provider_module.PLENXAuvrixAIProvider.get_paraphrasing_responses(provider, prompt)
    return paraphrase


@settings(max_examples=300, deadline=None)
@given(outcomes=st.lists(st.sampled_from(["error 503", "HTTP 5030 busy", "unavailable", "ok", "interrupt"]), max_size=4),
       logger_kind=st.sampled_from(["absent", "none", "plain", "raises", "raises in handler"]),
       sleep_kind=st.sampled_from(["plain", "raises", "raises in handler"]),
       outer=st.booleans())
def test_retry_path_agrees_with_plain_python(outcomes, logger_kind, sleep_kind, outer):
    with pytest.MonkeyPatch.context() as monkeypatch:
        ours = run(compiled_paraphrases(monkeypatch), outcomes, logger_kind, sleep_kind, outer)
    theirs = run(model_paraphrases, outcomes, logger_kind, sleep_kind, outer)
    assert ours == theirs
