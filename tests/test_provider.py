"""The foundation-model provider, on fake client packages placed in sys.modules."""
import inspect
import sys
import types
from collections import namedtuple

import pytest

from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider_module
from plenx_metrics_plugin.metrics.llm.utils.constants import ParaphrasingModel

Provider = provider_module.PLENXAuvrixAIProvider
SECRET = "apikey-s3cr3t-value"
TIMEOUT_WARNING = "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds."
Request = namedtuple("Request", "model args kwargs result")


class FakeClient:
    """Records every model object built and every request; `outcomes` scripts generate_text."""

    def __init__(self, monkeypatch):
        self.built, self.requests, self.outcomes = [], [], []
        package = types.ModuleType("plenx_auvrix_ai")
        package.foundation_models = types.ModuleType("plenx_auvrix_ai.foundation_models")
        package.metanames = types.ModuleType("plenx_auvrix_ai.metanames")
        package.foundation_models.ModelInference = self.model_inference
        package.metanames.GenTextParamsMetaNames = types.SimpleNamespace(
            DECODING_METHOD="decoding", MAX_NEW_TOKENS="max_tokens", MIN_NEW_TOKENS="min_tokens")
        for module in (package, package.foundation_models, package.metanames):
            monkeypatch.setitem(sys.modules, module.__name__, module)

    def model_inference(self, **kwargs):
        self.built.append(kwargs)
        model = types.SimpleNamespace()
        model.generate_text = lambda *args, **kwargs: self.generate(model, args, kwargs)
        return model

    def generate(self, model, args, kwargs):
        outcome = self.outcomes.pop(0) if self.outcomes else object()
        self.requests.append(Request(model, args, kwargs, outcome))
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


@pytest.fixture
def client(monkeypatch):
    return FakeClient(monkeypatch)


@pytest.fixture
def sleeps(monkeypatch):
    """Pauses asked of the module's `time`, swapped so that nothing really sleeps."""
    pauses = []
    monkeypatch.setattr(provider_module, "time", types.SimpleNamespace(sleep=pauses.append))
    return pauses


def build(**kwargs):
    creds = {"url": "https://platform.invalid", "apikey": SECRET}
    return Provider(**{"project_id": "p1", "credentials": creds, "model_name": "m1", **kwargs})


def test_host_visible_shape():
    assert [name for name in vars(provider_module) if name[:2] != "__"] == [
        "time", "get", "ParaphrasingModel", "PLENXAuvrixAIProvider", "_WarningLogger", "_default_logger"]
    assert str(inspect.signature(Provider)) == "(project_id, credentials, rate_limit=8, generate_params={}, model_name=None)"
    assert [name.replace("_PLENXAuvrixAIProvider", "") for name in vars(Provider) if name[:2] != "__"] == [
        "__get_model_object", "get_paraphrasing_responses", "get_model_responses", "get_judge_model_responses",
        "__get_paraphrasing_model", "__validate"]
    assert Provider.__doc__ is None and Provider.__bases__ == (object,)
    assert all(f.__annotations__ == {} for f in vars(Provider).values() if callable(f))


@pytest.mark.parametrize("project_id, creds, model_name, message", [
    (None, {}, None, "Project id should be specified for PLENX Auvrix AI models"),
    ("p", {"apikey": SECRET}, "m", "url is missing from the specified Auvrix AI credentials"),
    ("p", {"url": None, "apikey": SECRET}, "m", "url is missing from the specified Auvrix AI credentials"),
    ("p", {"url": "u"}, "m", "apikey is missing from the specified Auvrix AI credentials"),
    ("p", {"url": "u", "apikey": SECRET}, None, "The provided model_name is None. Please provide a valid model name."),
])
def test_validation_order_and_messages(client, project_id, creds, model_name, message):
    with pytest.raises(ValueError) as caught:
        Provider(project_id, creds, model_name=model_name)
    assert str(caught.value) == message and client.built == []


def test_validation_refuses_only_none_through_the_current_get(client, monkeypatch):
    monkeypatch.setattr(provider_module, "get", lambda mapping, key: "")
    provider = Provider("", {}, model_name="")
    assert client.built[0]["model_id"] == "" and client.built[0]["project_id"] == "" and provider.rate_limit == 8


def test_construction_order_goes_through_the_instance(client):
    seen = []

    class Recording(Provider):
        def _PLENXAuvrixAIProvider__validate(self):
            seen.append(list(vars(self)))

        def _PLENXAuvrixAIProvider__get_model_object(self, *args):
            seen.append(("model", args))
            return "model object"

        def _PLENXAuvrixAIProvider__get_paraphrasing_model(self):
            seen.append(("paraphrase", self.model))
            return "paraphrase object"

    provider = Recording("p", {}, 3, {"k": 1}, "m")
    assert seen == [["rate_limit", "project_id", "generate_params", "credentials", "model_name"],
                    ("model", ()), ("paraphrase", "model object")]
    assert list(vars(provider))[-2:] == ["model", "paraphrase_model"] and provider.paraphrase_model == "paraphrase object"


def test_model_objects_get_the_callers_objects(client):
    params, creds = {"max_tokens": 5}, {"url": "u", "apikey": SECRET}
    provider = Provider("p1", creds, generate_params=params, model_name="m1")
    generation, paraphrasing = client.built
    assert list(generation) == list(paraphrasing) == ["model_id", "params", "credentials", "project_id"]
    assert generation["model_id"] == "m1" and generation["params"] is params and generation["credentials"] is creds
    assert paraphrasing["model_id"] is ParaphrasingModel.META_LLAMA_3_3_70B_INSTRUCT
    assert list(paraphrasing["params"].items()) == [("decoding", "greedy"), ("max_tokens", 4096)]
    assert paraphrasing["credentials"] is creds and provider.model is not provider.paraphrase_model


@pytest.mark.parametrize("kwargs, model_id, params", [
    ({}, "m1", None), ({"model_name": "other"}, "other", None), ({"model_name": ""}, "", None),
    ({"generate_params": {"x": 1}}, "m1", {"x": 1}), ({"model_name": None, "generate_params": None}, "m1", None),
])
def test_get_model_object_falls_back_only_on_none_or_empty(client, kwargs, model_id, params):
    provider = build(generate_params={"own": 1})
    provider._PLENXAuvrixAIProvider__get_model_object(**kwargs)
    assert client.built[-1]["model_id"] == model_id
    assert client.built[-1]["params"] == (params or {"own": 1})


def test_model_responses_pass_the_batch_through(client):
    provider, prompts = build(), []
    result = provider.get_model_responses(prompts)
    request = client.requests[-1]
    assert request.model is provider.model and request.args == () and request.kwargs["prompt"] is prompts
    assert result is request.result and len(client.built) == 2


@pytest.mark.parametrize("judge_params", [None, {}, "omitted"])
def test_judge_defaults_are_built_afresh(client, judge_params):
    provider = build(generate_params={"own": 1})
    args = ([], None) if judge_params == "omitted" else ([], None, judge_params)
    provider.get_judge_model_responses(*args)
    provider.get_judge_model_responses(*args)
    first, second = client.built[2:]
    assert list(first["params"].items()) == [("max_tokens", 60), ("min_tokens", 1)]
    assert first["params"] is not second["params"] and first["model_id"] == "m1"
    assert client.requests[0].model is not client.requests[1].model
    assert Provider.get_judge_model_responses.__defaults__ == ({},)


def test_judge_mapping_is_passed_as_the_same_object(client):
    params = {"max_tokens": 200}
    result = build().get_judge_model_responses(prompts=["q"], judge_model_name="judge", judge_model_params=params)
    assert client.built[-1]["params"] is params and params == {"max_tokens": 200}
    assert client.built[-1]["model_id"] == "judge" and result is client.requests[-1].result


@pytest.mark.parametrize("missing, error, match", [
    ("plenx_auvrix_ai", ModuleNotFoundError, "plenx_auvrix_ai"),
    ("ModelInference", ImportError, "cannot import name 'ModelInference'"),
])
def test_missing_client_is_the_hosts_import_error(client, monkeypatch, missing, error, match):
    if missing == "ModelInference":
        monkeypatch.delattr(sys.modules["plenx_auvrix_ai.foundation_models"], missing)
    else:
        for name in [name for name in sys.modules if name.startswith(missing)]:
            monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(error, match=match):
        build()
    with pytest.raises(ValueError):  # a configuration error is still reported first
        build(model_name=None)


def test_missing_metanames_raises_the_install_hint(client, monkeypatch):
    provider = build()
    monkeypatch.setitem(sys.modules, "plenx_auvrix_ai.metanames", None)
    for request in (build, lambda: provider.get_judge_model_responses(["q"], "judge")):
        with pytest.raises(Exception) as caught:
            request()
        assert type(caught.value) is Exception
        assert str(caught.value) == "Please install plenx_auvrix_ai package using pip install"
        assert isinstance(caught.value.__context__, ImportError)
    assert len(client.built) == 3  # the failed build's generation model was made first


def timeout(text="Status code: 503, Gateway Time-out"):
    return RuntimeError(text)


@pytest.mark.parametrize("outcomes, pauses", [
    ([], []), ([timeout()], [2]), ([timeout("upstream error 15030"), timeout()], [2, 2]),
])
def test_gateway_timeouts_are_retried(client, sleeps, outcomes, pauses):
    provider, warnings, prompt = build(), [], object()
    provider.logger = types.SimpleNamespace(log_warning=warnings.append)
    client.outcomes = list(outcomes)
    result = provider.get_paraphrasing_responses(prompt)
    assert result is client.requests[-1].result and len(client.requests) == len(outcomes) + 1
    assert all(r.model is provider.paraphrase_model and r.args == () and r.kwargs == {"prompt": prompt}
               for r in client.requests)
    assert warnings == [TIMEOUT_WARNING] * len(outcomes) and sleeps == pauses


def test_third_timeout_fails_with_the_last_as_cause(client, sleeps, caplog):
    client.outcomes = [timeout(), timeout(), timeout("503 again")]
    with pytest.raises(Exception) as caught:
        build().get_paraphrasing_responses(prompt="p")
    assert type(caught.value) is Exception and str(caught.value) == "Failed to generate paraphrases after 3 retries"
    assert caught.value.__cause__ is client.requests[-1].result and len(client.requests) == 3
    assert sleeps == [2, 2]  # no pause once no attempt follows
    assert [(r.name, r.levelname, r.message) for r in caplog.records] == [
        (provider_module.__name__, "WARNING", TIMEOUT_WARNING)] * 3
    assert SECRET not in caplog.text


@pytest.mark.parametrize("error", [ValueError("Service Unavailable"), KeyboardInterrupt("503")])
@pytest.mark.parametrize("earlier", [[], [timeout()]])
def test_other_errors_end_the_request_unchanged(client, sleeps, error, earlier):
    client.outcomes = [*earlier, error]
    provider = build()
    provider.logger = None
    with pytest.raises(type(error)) as caught:
        provider.get_paraphrasing_responses("p")
    assert caught.value is error and sleeps == [2] * len(earlier)
