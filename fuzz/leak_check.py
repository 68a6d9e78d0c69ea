#!/usr/bin/env python3
"""Resident memory across many interval lifecycles and provider calls.

Each interval lifecycle builds a continuous or a discrete interval, adds its two measurements,
reads every measure, sorts it against the previous one, writes it to its dictionary form and
restores it; every tenth lifecycle also takes each failing path (wrong count, unconvertible
percentage, missing lookups, incomplete dictionary, wrong argument type). The provider calls go to
a fake client package placed in sys.modules: model, judge and paraphrase requests, gateway
time-outs and retries (with the pause skipped), client errors, failed validation and a missing
client module. If anything leaked per call, resident memory would keep growing after warm-up;
the figures printed show whether it does.

    python fuzz/leak_check.py            # 1,000,000 interval lifecycles, 100,000 provider calls
    python fuzz/leak_check.py --quick    # a tenth of each
"""
import argparse
import gc
import logging
import os
import sys
import time
import types

from plenx_metrics_plugin.metrics.drift_v2.entity.statistics import interval as iv
from plenx_metrics_plugin.metrics.llm.common.model_providers import plenx_auvrix_ai_provider as provider_module

PAGE = os.sysconf("SC_PAGE_SIZE")
CHECKPOINTS = 10
# Growth after warm-up that still counts as flat: allocator noise, not a per-call leak.
TOLERANCE = 1 << 20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def attempt(operation):
    try:
        operation()
    except Exception:
        pass


# ---- intervals

def interval_lifecycle(i, previous):
    if i % 2:
        interval = iv.ContinuousStatisticsInterval(i % 100, i % 100 + 0.5)
    else:
        interval = iv.DiscreteStatisticsInterval(f"category {i % 50}")
        interval.statistical_buffer, interval.contribution_to_distance = 0.1, i % 7
    interval.add_baseline_value(i % 13, 10.0 + i % 5)
    interval.add_production_value(i % 11, 12.5)
    interval.absolute_change_percentage, interval.is_change_significant, interval.eligible_for_insights
    interval.has_increased_in_production()
    if type(previous) is type(interval):
        sorted([interval, previous])
        interval == previous
    restored = type(interval).from_dict(interval.to_dict())
    if i % 10 == 0:
        failing_paths(interval)
    return restored


def failing_paths(interval):
    cls = type(interval)
    attempt(lambda: interval.add_baseline_value(1.5, 10.0))
    attempt(lambda: interval.add_production_value(1, "ten"))
    attempt(lambda: iv.Interval("f").get_production_value())
    attempt(lambda: iv.Interval("f").to_dict())
    form = interval.to_dict()
    del form["insights_available"]
    attempt(lambda: cls.from_dict(form))
    attempt(lambda: cls.from_dict(list(form)))
    attempt(lambda: interval < None)
    attempt(lambda: hash(interval))


# ---- the provider

class Params:
    DECODING_METHOD, MAX_NEW_TOKENS, MIN_NEW_TOKENS = "decoding", "max_tokens", "min_tokens"


class FakeClient:
    """Model objects whose generate_text answers from a script, then with one shared result."""

    result = {"results": [{"generated_text": "shared"}]}

    def __init__(self):
        self.script = []
        package = types.ModuleType("plenx_auvrix_ai")
        package.foundation_models = types.ModuleType("plenx_auvrix_ai.foundation_models")
        package.metanames = types.ModuleType("plenx_auvrix_ai.metanames")
        package.foundation_models.ModelInference = self.model_inference
        package.metanames.GenTextParamsMetaNames = Params
        self.modules = [package, package.foundation_models, package.metanames]
        for module in self.modules:
            sys.modules[module.__name__] = module

    def model_inference(self, **kwargs):
        return types.SimpleNamespace(generate_text=self.generate_text)

    def generate_text(self, prompt):
        if self.script:
            raise self.script.pop(0)
        return self.result


def provider_calls(client, provider, i):
    """One provider call (some of them failing); returns the number of calls made."""
    step = i % 10
    if step < 3:
        provider.get_model_responses(["a prompt"])
    elif step < 5:
        provider.get_judge_model_responses(["a prompt"], "judge", {} if step == 3 else {"max_tokens": 20})
    elif step == 5:
        client.script = [RuntimeError("503 gateway time-out")]
        provider.get_paraphrasing_responses("a prompt")
    elif step == 6:
        client.script = [RuntimeError("503")] * 3
        attempt(lambda: provider.get_paraphrasing_responses("a prompt"))
    elif step == 7:
        client.script = [ValueError("bad request")]
        attempt(lambda: provider.get_model_responses(["a prompt"]))
    elif step == 8:
        attempt(lambda: provider_module.PLENXAuvrixAIProvider("p", {"url": "u"}, model_name="m"))
    else:
        metanames = sys.modules.pop("plenx_auvrix_ai.metanames")
        sys.modules["plenx_auvrix_ai.metanames"] = None
        attempt(lambda: provider.get_judge_model_responses(["a prompt"], "judge"))
        sys.modules["plenx_auvrix_ai.metanames"] = metanames
        provider_module.PLENXAuvrixAIProvider("p", {"url": "u", "apikey": "k"}, model_name="m")


# ---- measuring

def measure(name, total, run):
    """Runs `run(i)` total times and prints resident memory at each tenth after a warm-up tenth."""
    step = max(total // CHECKPOINTS, 1)
    warm = step
    print(f"{name}: {total:,} in all; resident memory after gc.collect(), in MiB")
    baseline = None
    started = time.monotonic()
    for i in range(total):
        run(i)
        if (i + 1) % step == 0:
            gc.collect()
            rss = resident_bytes()
            if i + 1 == warm:
                baseline = rss
            growth = "" if baseline is None else f"   {(rss - baseline) / 2**20:+8.3f} since warm-up"
            print(f"  {i + 1:>10,}  {rss / 2**20:9.2f}  {len(gc.get_objects()):>8,} tracked objects{growth}",
                  flush=True)
    growth = resident_bytes() - baseline
    verdict = "flat" if growth <= TOLERANCE else "GROWING"
    print(f"  {verdict}: {growth / 2**10:+.0f} KiB after warm-up, "
          f"{growth / max(total - warm, 1):+.3f} bytes per call, {time.monotonic() - started:.0f} s\n")
    return growth <= TOLERANCE


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a tenth of the lifecycles and calls")
    args = parser.parse_args()
    lifecycles, calls = (100_000, 10_000) if args.quick else (1_000_000, 100_000)
    # The fallback warning logger would print every retry; the pause is skipped.
    logging.getLogger(provider_module.__name__).addHandler(logging.NullHandler())
    logging.getLogger(provider_module.__name__).propagate = False
    provider_module.time = types.SimpleNamespace(sleep=lambda seconds: None)

    previous = [None]

    def one_lifecycle(i):
        previous[0] = interval_lifecycle(i, previous[0])

    client = FakeClient()
    provider = provider_module.PLENXAuvrixAIProvider("p", {"url": "u", "apikey": "k"}, model_name="m")
    flat = measure("interval lifecycles", lifecycles, one_lifecycle)
    flat &= measure("provider calls", calls, lambda i: provider_calls(client, provider, i))
    return 0 if flat else 1


if __name__ == "__main__":
    sys.exit(main())
