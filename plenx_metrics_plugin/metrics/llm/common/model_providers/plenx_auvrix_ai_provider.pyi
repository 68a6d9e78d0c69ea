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
    ) -> None: ...
    def get_paraphrasing_responses(self, prompt: Any) -> Any: ...
    def get_model_responses(self, prompts: list[str]) -> Any: ...
    def get_judge_model_responses(
        self, prompts: list[str], judge_model_name: str | None, judge_model_params: Mapping[Any, Any] | None = ...
    ) -> Any: ...
