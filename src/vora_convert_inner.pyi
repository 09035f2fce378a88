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
