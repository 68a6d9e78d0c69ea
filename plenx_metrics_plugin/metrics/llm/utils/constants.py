"""Stands in for the package's own llm `constants` module: the one name the provider module
imports."""
from enum import Enum


class ParaphrasingModel(Enum):
    """The foundation models that generate paraphrases."""

    META_LLAMA_3_3_70B_INSTRUCT = "meta-llama-3-3-70b-instruct"
