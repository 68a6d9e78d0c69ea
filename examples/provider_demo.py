"""Builds a foundation-model provider on the offline stand-in client and asks it for model,
judge and paraphrase responses, including one paraphrase request that meets a gateway time-out.

Run it with `bash scripts/demo.sh`, or after `pip install .`:  python examples/provider_demo.py
"""
import logging
import sys
from pathlib import Path

# The stand-in client is not installed; make it importable for this demo only.
sys.path.insert(0, str(Path(__file__).resolve().parent / "offline_client"))

from plenx_auvrix_ai.foundation_models import simulate_gateway_timeouts  # noqa: E402
from plenx_auvrix_ai.metanames import GenTextParamsMetaNames  # noqa: E402

from plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider import (  # noqa: E402
    PLENXAuvrixAIProvider,
)

# The provider warns through `logging` when it retries.
logging.basicConfig(stream=sys.stdout, level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")

provider = PLENXAuvrixAIProvider(
    project_id="demo-project",
    credentials={"url": "https://offline.invalid", "apikey": "not-a-real-key"},
    generate_params={GenTextParamsMetaNames.MAX_NEW_TOKENS: 8},
    model_name="demo-generation-model",
)

print("model:", provider.get_model_responses(["Summarise the drift report of last week in one line."]))
print("judge:", provider.get_judge_model_responses(["Is this answer faithful? yes or no."], "demo-judge-model"))

# The gateway times out once; the provider warns, pauses 2 seconds and tries again.
simulate_gateway_timeouts(1)
print("paraphrase:", provider.get_paraphrasing_responses("The model drifted in production."))
