"""An offline stand-in for the AI platform's client package, for the examples only.

It answers from memory, deterministically, and never opens a connection. It lives outside the
installed package on purpose: put `examples/offline_client` on `sys.path` to use it, so it can
never shadow a real client installed in the same environment.
"""
