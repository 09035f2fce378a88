from typing import List, Optional, TypedDict

def rust_convert(path: str) -> None:
    """Load the configuration file at `path` and run the conversion it describes.

    Calls ``vora.api.VORA()`` and then its methods ``config``, ``load_onnx``,
    ``build``, ``accuracy_analysis`` (when the file's ``[accuracy_analysis]``
    lists inputs) and ``export_vora``, each with the arguments of its section.

    Raises TypeError for a bad argument; RuntimeError for a file that cannot be
    read or loaded (the message points at the line), a method that returns a
    code other than 0 ("vora.<method> failed with code <code>") and any other
    exception of the converter ("<type>: <text>"; with the environment variable
    VORA_CONVERT_TRACEBACK=1 its traceback is printed to sys.stderr first).
    KeyboardInterrupt and SystemExit raised during the conversion pass through
    unchanged.

    Also raises UnicodeEncodeError, unchanged, for a `path` that is not valid
    UTF-8 (a lone surrogate), and ``vora_convert_inner.PanicException`` for an
    internal fault. PanicException (a type the module does not export)
    derives from BaseException, not Exception: ``except Exception`` does not
    catch it.
    """

def rust_explain(path: str) -> None:
    """Load the configuration file at `path` and print its summary.

    Writes "[Configuration Summary]" and one table per section (every key with
    its value, its default, whether they differ and a description) to file
    descriptor 1, bypassing ``sys.stdout``. Raises TypeError for a bad argument
    and RuntimeError for a file that cannot be read or loaded; nothing is
    printed then. A call made by a signal handler while the same thread's
    summary is being written raises RuntimeError and prints nothing.

    Also raises UnicodeEncodeError, unchanged, for a `path` that is not valid
    UTF-8 (a lone surrogate), and ``vora_convert_inner.PanicException`` when
    standard output cannot be written (a closed pipe, a full disk: "failed
    printing to stdout: <error>") or for another internal fault.
    PanicException (a type the module does not export) derives from
    BaseException, not Exception: ``except Exception`` does not catch it.
    """


class _Related(TypedDict):
    message: str
    line: int
    column: int
    end_line: int
    end_column: int

class _FindingFields(TypedDict):
    file: str
    line: Optional[int]
    column: Optional[int]
    end_line: Optional[int]
    end_column: Optional[int]
    severity: str
    code: str
    message: str
    suggestion: Optional[str]
    related: List[_Related]
    help: Optional[str]

class _Finding(_FindingFields, total=False):
    as_section: str
    silenced: bool

def check(path: str, *, files: bool = True, base: Optional[str] = None) -> List[_Finding]:
    """Check the configuration file at `path` as ``vora-config check --isolated
    --format json path`` does, and return its findings.

    Each finding is a dict with the fields of that JSON: ``file``, ``line``,
    ``column``, ``end_line``, ``end_column`` (None for a file that cannot be
    read), ``severity`` ("error" or "warning"), ``code``, ``message``,
    ``suggestion``, ``related`` and ``help``; ``as_section`` for a key of a
    misspelled section, and ``silenced: True`` for one a ``# vora-config:
    ignore`` comment silences. No settings file (vora-config.toml,
    pyproject.toml) is read. With ``files=False`` the files the configuration
    names are not read; ``base`` is the folder their relative paths are taken
    from (default: the current directory). A file that cannot be read is a
    ``read-error`` finding, never an exception. The interpreter lock is
    released while checking.

    Raises TypeError for a bad argument, UnicodeEncodeError for a `path` or
    `base` that is not valid UTF-8 (a lone surrogate). Refuse a file with an
    error finding before converting it::

        errors = [f for f in check(path) if f["severity"] == "error" and not f.get("silenced")]
        if errors:
            raise SystemExit("\\n".join(f"{f['file']}:{f['line']}: {f['message']}" for f in errors))
        rust_convert(path)
    """
