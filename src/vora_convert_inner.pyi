def rust_convert(path: str) -> None:
    """Load the configuration file at `path` and run the conversion it describes."""

def rust_explain(path: str) -> None:
    """Load the configuration file at `path` and print its summary."""
