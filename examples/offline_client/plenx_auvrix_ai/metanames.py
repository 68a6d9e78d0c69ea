"""The generation-parameter names of the offline stand-in client."""


class GenTextParamsMetaNames:
    """Keys of the `params` mapping given to `ModelInference`."""

    DECODING_METHOD = "decoding_method"
    MAX_NEW_TOKENS = "max_new_tokens"
    MIN_NEW_TOKENS = "min_new_tokens"
