# plenx_auvrix_ai_provider.pyi: the types of the compiled provider module, for type checkers and stubtest.
from collections.abc import Mapping
from typing import Any

class PLENXAuvrixAIProvider:
    rate_limit: int
    project_id: str | None
    generate_params: Mapping[Any, Any]
    credentials: Mapping[str, Any]
    model_name: str | None
    # Model objects of the client package, which has no types of its own.
    model: Any
    paraphrase_model: Any
    # Attached by host code: any object with log_warning(message).
    logger: Any
    def __init__(
        self,
        project_id: str | None,
        credentials: Mapping[str, Any],
        rate_limit: int = 8,
        generate_params: Mapping[Any, Any] = ...,
        model_name: str | None = None,
    ) -> None:
        """Check the configuration, then make the generation and paraphrasing model objects.

        ValueError names what is missing (project_id, the url or apikey of `credentials`, model_name)
        before anything is contacted. The model objects come from the platform's client package
        plenx_auvrix_ai, which must be installed.
        """
    def get_paraphrasing_responses(self, prompt: Any) -> Any:
        """Return the paraphrasing model's generated text for `prompt`, as the client returns it.

        A gateway time-out (an error whose text contains 503) is logged as a warning and retried, with
        a pause; after 3 attempts in all the call fails with Exception. Other errors pass through.
        """
    def get_model_responses(self, prompts: list[str]) -> Any:
        """Return the configured model's generated text for the list `prompts`, as the client returns it."""
    def get_judge_model_responses(
        self, prompts: list[str], judge_model_name: str | None, judge_model_params: Mapping[Any, Any] | None = ...
    ) -> Any:
        """Return the judge model's generated text for the list `prompts`, as the client returns it.

        The judge is `judge_model_name` (the provider's model_name when None), made for this request
        with `judge_model_params`; when those are empty or None, at most 60 and at least 1 new tokens.
        """
