# constants.pyi: the types of the stand-in llm constants.
from enum import Enum

class ParaphrasingModel(Enum):
    META_LLAMA_3_3_70B_INSTRUCT = "meta-llama-3-3-70b-instruct"
