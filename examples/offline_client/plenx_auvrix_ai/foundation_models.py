"""Model handles of the offline stand-in client: deterministic answers, no network."""
from enum import Enum

from .metanames import GenTextParamsMetaNames

_pending_gateway_timeouts = 0


class GatewayTimeoutError(Exception):
    """What the platform's gateway reports when a request takes too long."""


def simulate_gateway_timeouts(count):
    """Make the next `count` calls of `generate_text`, on any model, fail as gateway time-outs."""
    global _pending_gateway_timeouts
    _pending_gateway_timeouts = count


class ModelInference:
    """A handle on one model with fixed generation parameters."""

    def __init__(self, *, model_id, params=None, credentials=None, project_id=None):
        # Checked by presence only, and never echoed: credentials stay out of messages.
        missing = [key for key in ("url", "apikey") if not (credentials or {}).get(key)]
        if missing:
            raise ValueError(f"credentials lack {', '.join(missing)}")
        if project_id is None:
            raise ValueError("a project id is required")
        self.model_id = model_id.value if isinstance(model_id, Enum) else model_id
        self.params = dict(params or {})

    def generate_text(self, prompt):
        """The generated text for one prompt, or a list of texts for a list of prompts."""
        global _pending_gateway_timeouts
        if _pending_gateway_timeouts > 0:
            _pending_gateway_timeouts -= 1
            raise GatewayTimeoutError("Status code: 503, Gateway Time-out")
        if isinstance(prompt, list):
            return [self._answer(text) for text in prompt]
        return self._answer(prompt)

    def _answer(self, prompt):
        # Echoes the prompt, cut to the token budget: enough to see which model and params answered.
        limit = self.params.get(GenTextParamsMetaNames.MAX_NEW_TOKENS, 20)
        words = str(prompt).split()[:limit]
        return f"[{self.model_id}] " + " ".join(words)
