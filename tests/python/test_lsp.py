"""vora-config lsp: the language server through a real client (pytest-lsp) and at the protocol's byte level."""

import asyncio
import json
import os
import subprocess

import pytest

from test_cli import cli  # noqa: F401  (a fixture)

# The client side (Python 3.10 and later): the suite is skipped without it.
pytest_lsp = pytest.importorskip("pytest_lsp")
pytest_asyncio = pytest.importorskip("pytest_asyncio")
t = pytest.importorskip("lsprotocol.types")

CONFIG = (
    "[config]\n"
    "optimisation_level = 2\n"
    'quantized_algorithm = "mmsee"\n'
    "[build]\n"
    "vora_batch_size = 0\n"
)
# One line, each encoding counting the emoji and the accented letter otherwise.
NON_ASCII = 'config = { custom_string = "\U0001F600", quantized_algorithm = "mms\u00e9" }\n'


# --- the byte level: framing, lifecycle, malformed messages ------------------------------------------------------


def frame(message):
    body = message if isinstance(message, bytes) else json.dumps(message).encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def request(id, method, params=None):
    return {"jsonrpc": "2.0", "id": id, "method": method, **({} if params is None else {"params": params})}


def notification(method, params=None):
    return {"jsonrpc": "2.0", "method": method, **({} if params is None else {"params": params})}


INITIALIZE = request(1, "initialize", {"capabilities": {}})


def converse(cli, *messages):  # noqa: F811
    """The server's exit status and the messages it wrote, for `messages` written at once (messages framed, bytes
    written as they are)."""
    done = subprocess.run([cli, "lsp"], input=b"".join(m if isinstance(m, bytes) else frame(m) for m in messages),
                          capture_output=True, timeout=60)
    out, replies = done.stdout, []
    while out:
        header, _, rest = out.partition(b"\r\n\r\n")
        assert header.startswith(b"Content-Length: "), out[:80]
        length = int(header.split(b":")[1])
        replies.append(json.loads(rest[:length]))
        out = rest[length:]
    return done.returncode, replies


def answers(replies):
    """The replies to requests, by id (null ids in order under None)."""
    return [(r.get("id"), r.get("error", {}).get("code"), r.get("result")) for r in replies if "method" not in r]


def logs(replies):
    return [r["params"]["message"] for r in replies if r.get("method") == "window/logMessage"]


LIFECYCLES = {
    "shutdown then exit": ([INITIALIZE, request(2, "shutdown"), notification("exit")], 0, [(2, None, None)]),
    "exit without shutdown": ([INITIALIZE, notification("exit")], 1, []),
    "the input ends after shutdown": ([INITIALIZE, request(2, "shutdown")], 0, [(2, None, None)]),
    "the input ends": ([INITIALIZE], 1, []),
    "a request before initialize": ([request(5, "textDocument/hover", {}), INITIALIZE, notification("exit")], 1,
                                    [(5, -32002, None)]),
    "initialize twice": ([INITIALIZE, request(2, "initialize", {"capabilities": {}})], 1, [(2, -32600, None)]),
    "a request after shutdown": ([INITIALIZE, request(2, "shutdown"), request(3, "textDocument/hover", {}),
                                  notification("exit")], 0, [(2, None, None), (3, -32600, None)]),
    "a method not implemented": ([INITIALIZE, request(2, "textDocument/rename", {}),
                                  notification("workspace/didRenameFiles", {})], 1, [(2, -32601, None)]),
    "invalid params": ([INITIALIZE, request(2, "textDocument/hover", {"textDocument": 3})], 1, [(2, -32602, None)]),
    "a cancelled request": ([INITIALIZE, request(7, "textDocument/hover", {}),
                             notification("$/cancelRequest", {"id": 7})], 1, [(7, -32800, None)]),
}


@pytest.mark.parametrize("messages, status, expected", LIFECYCLES.values(), ids=LIFECYCLES.keys())
def test_lifecycle(cli, messages, status, expected):  # noqa: F811
    code, replies = converse(cli, *messages)
    assert code == status
    assert [a for a in answers(replies) if a[0] != 1] == expected


MALFORMED = {
    "not JSON": (frame(b"{oops"), [(None, -32700, None)], []),
    "not an object": (frame(b"[1, 2]"), [(None, -32600, None)], []),
    "no method": (frame({"jsonrpc": "2.0", "id": 4}), [(4, -32600, None)], []),
    "an id that is an object": (frame({"jsonrpc": "2.0", "id": {}, "method": "x"}), [(None, -32600, None)], []),
    "no Content-Length": (b"Content-Type: x\r\n\r\n", [], ["vora-config: a message refused: a header without a "
                                                           "valid Content-Length"]),
    "a length that is no number": (b"Content-Length: 1x\r\n\r\n", [], ["vora-config: a message refused: a header "
                                                                      "without a valid Content-Length"]),
    "a header over the limit": (b"X-Filler: " + b"a" * 9000 + b"\r\n\r\n", [],
                                ["vora-config: a message refused: a header of more than 8192 bytes"]),
    "a body over the limit": (b"Content-Length: 67108865\r\n\r\n" + b" " * 67108865, [],
                              ["vora-config: a message refused: a body of 67108865 bytes (at most 67108864)"]),
    "a notification of bad params": (frame(notification("textDocument/didOpen", {"textDocument": {}})), [],
                                     ["vora-config: textDocument/didOpen: invalid params: [json.exception.out_of_range"
                                      ".403] key 'uri' not found"]),
}


@pytest.mark.parametrize("bad, expected, logged", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_messages_are_answered_or_logged_and_survived(cli, bad, expected, logged):  # noqa: F811
    code, replies = converse(cli, INITIALIZE, bad, request(9, "shutdown"), notification("exit"))
    assert code == 0
    assert answers(replies)[1:] == expected + [(9, None, None)]
    assert logs(replies) == logged


def test_a_message_cut_off_by_the_end_of_input_is_logged(cli):  # noqa: F811
    code, replies = converse(cli, INITIALIZE, b"Content-Length: 50\r\n\r\n{")
    assert code == 1
    assert logs(replies) == ["vora-config: a message refused: the input ended inside a body"]


# --- through a client -------------------------------------------------------------------------------------------


def capabilities(encodings=("utf-16",), pull=False, watch=False, snippets=True):
    markdown = [t.MarkupKind.Markdown]
    return t.ClientCapabilities(
        general=t.GeneralClientCapabilities(position_encodings=list(encodings)),
        text_document=t.TextDocumentClientCapabilities(
            hover=t.HoverClientCapabilities(content_format=markdown),
            completion=t.CompletionClientCapabilities(completion_item=t.ClientCompletionItemOptions(
                snippet_support=snippets, documentation_format=markdown)),
            diagnostic=t.DiagnosticClientCapabilities(dynamic_registration=False) if pull else None,
            publish_diagnostics=t.PublishDiagnosticsClientCapabilities(related_information=True)),
        workspace=t.WorkspaceClientCapabilities(
            did_change_watched_files=t.DidChangeWatchedFilesClientCapabilities(dynamic_registration=watch)),
    )


@pytest_asyncio.fixture
async def start(cli):  # noqa: F811
    """Starts a server and initializes it with the capabilities given; each is shut down at the end, and its exit
    status checked."""
    clients = []

    async def started(**options):
        client = await pytest_lsp.ClientServerConfig(server_command=[cli, "lsp"]).start()
        result = await client.initialize_session(t.InitializeParams(capabilities=capabilities(**options)))
        clients.append(client)
        return client, result

    yield started
    for client in clients:
        await client.shutdown_session()
        assert client._server.returncode == 0
        await client.stop()


def open_document(client, path, text):
    path.write_text(text, encoding="utf-8")
    uri = path.as_uri()
    client.text_document_did_open(t.DidOpenTextDocumentParams(t.TextDocumentItem(uri, "toml", 1, text)))
    return uri


async def pushed(client, uri):
    """The next diagnostics pushed for `uri`."""
    while True:
        params = await asyncio.wait_for(client.wait_for_notification("textDocument/publishDiagnostics"), 30)
        if params.uri == uri:
            return list(params.diagnostics)


def summary(diagnostics):
    return [(d.code, d.severity, (d.range.start.line, d.range.start.character, d.range.end.line,
                                  d.range.end.character), d.message) for d in diagnostics]


E, W = t.DiagnosticSeverity.Error, t.DiagnosticSeverity.Warning
CONFIG_DIAGNOSTICS = [
    ("unknown-key", E, (1, 0, 1, 18),
     "`optimisation_level` is not a key of [config]; the converter ignores it; did you mean `optimization_level`?"),
    ("unknown-choice", W, (2, 22, 2, 29),
     '`quantized_algorithm` = "mmsee" is not one of normal, mmse; did you mean "mmse"?'),
    ("out-of-range", E, (4, 18, 4, 19), "`vora_batch_size` = 0 is below the minimum of 1"),
]


def config_diagnostics(folder):
    """CONFIG's diagnostics in `folder`: first, that it has no [load] section, so the default model is loaded."""
    return [("missing-section", W, (0, 0, 0, 8),
             f"the file has no [load] section: the converter loads its default model, `{folder}/model.onnx`, which "
             "does not exist\nadd [load] with model_type = \"Onnx\" and the model's path"), *CONFIG_DIAGNOSTICS]


@pytest.mark.asyncio
async def test_diagnostics_pushed_on_open_and_pulled(start, tmp_path):
    client, result = await start()
    assert result.capabilities.position_encoding == "utf-16"
    assert result.capabilities.diagnostic_provider is None
    uri = open_document(client, tmp_path / "c.toml", CONFIG)
    diagnostics = await pushed(client, uri)
    assert summary(diagnostics) == config_diagnostics(tmp_path)
    assert {(d.source, d.code_description.href) for d in diagnostics} == {("vora-config", "README.md#finding-codes")}

    puller, result = await start(pull=True)
    assert result.capabilities.diagnostic_provider.inter_file_dependencies is False
    uri = open_document(puller, tmp_path / "c.toml", CONFIG)
    report = await puller.text_document_diagnostic_async(t.DocumentDiagnosticParams(t.TextDocumentIdentifier(uri)))
    assert summary(report.items) == config_diagnostics(tmp_path)


@pytest.mark.parametrize("encodings, chosen, start_character, end_character", [
    (["utf-16"], "utf-16", 55, 61),
    (["utf-8", "utf-16"], "utf-8", 57, 64),
    (["utf-32"], "utf-16", 55, 61),
])
@pytest.mark.asyncio
async def test_position_encodings_with_non_ascii_text(start, tmp_path, encodings, chosen, start_character,
                                                      end_character):
    client, result = await start(encodings=encodings)
    assert result.capabilities.position_encoding == chosen
    uri = open_document(client, tmp_path / "c.toml", NON_ASCII)
    [(code, _, place, _)] = summary(await pushed(client, uri))
    assert (code, place) == ("unknown-choice", (0, start_character, 0, end_character))


@pytest.mark.parametrize("encodings, begin, end", [(["utf-16"], 55, 61), (["utf-8"], 57, 64)])
@pytest.mark.asyncio
async def test_incremental_edits_after_non_ascii_text(start, tmp_path, encodings, begin, end):
    client, _ = await start(encodings=encodings)
    uri = open_document(client, tmp_path / "c.toml", NON_ASCII)
    await pushed(client, uri)
    # "mmsé" (its last letter two bytes, one UTF-16 unit) becomes "mmse", then an unknown key is typed after it.
    edit = t.TextDocumentContentChangePartial(t.Range(t.Position(0, begin + 4), t.Position(0, end - 1)), "e")
    client.text_document_did_change(t.DidChangeTextDocumentParams(
        t.VersionedTextDocumentIdentifier(2, uri), [edit]))
    assert summary(await pushed(client, uri)) == []
    typed = [t.TextDocumentContentChangePartial(t.Range(t.Position(1, 0), t.Position(1, 0)),
                                                "[export]\nexport_pth = 1\n")]
    client.text_document_did_change(t.DidChangeTextDocumentParams(t.VersionedTextDocumentIdentifier(3, uri),
                                                                  typed))
    assert [d[:3] for d in summary(await pushed(client, uri))] == [("unknown-key", E, (2, 0, 2, 10))]
    whole = [t.TextDocumentContentChangeWholeDocument("[build]\nvora_batch_size = -1\n")]
    client.text_document_did_change(t.DidChangeTextDocumentParams(t.VersionedTextDocumentIdentifier(4, uri), whole))
    assert [d[:3] for d in summary(await pushed(client, uri))] == [("out-of-range", E, (1, 18, 1, 20))]


@pytest.mark.parametrize("text", [
    '[project]\nname = "x"\n[config]\noptimisation_level = 2\n',
    '[tool.poetry]\nname = "x"\n',
    'title = "another file"\n[owner]\nname = "x"\n',
])
@pytest.mark.asyncio
async def test_another_tools_toml_file_gets_nothing(start, tmp_path, text):
    client, _ = await start()
    uri = open_document(client, tmp_path / "pyproject.toml", text)
    assert await pushed(client, uri) == []


@pytest.mark.parametrize("name, settings, codes", [
    ("vora-config.toml", 'ignore = ["unknown-key"]\n', ["missing-section", "unknown-choice", "out-of-range"]),
    ("vora-config.toml", "files = false\n", ["unknown-key", "unknown-choice", "out-of-range"]),
    ("vora-config.toml", 'per-file-ignores = { "c.toml" = ["unknown-choice"] }\nfiles = false\n',
     ["unknown-key", "out-of-range"]),
    ("pyproject.toml", '[tool.vora-config]\nselect = ["out-of-range"]\n', ["out-of-range"]),
])
@pytest.mark.asyncio
async def test_the_settings_file_of_the_document_holds(start, tmp_path, name, settings, codes):
    """As `check` of the file: the nearest settings file's codes and files, read at each check."""
    (tmp_path / name).write_text(settings, encoding="utf-8")
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", CONFIG)
    assert [d[0] for d in summary(await pushed(client, uri))] == codes


@pytest.mark.asyncio
async def test_silenced_findings_are_left_out_and_a_close_clears(start, tmp_path):
    client, _ = await start()
    text = CONFIG.replace('"mmsee"\n', '"mmsee"  # vora-config: ignore[unknown-choice]\n')
    uri = open_document(client, tmp_path / "c.toml", text)
    assert [d[0] for d in summary(await pushed(client, uri))] == ["missing-section", "unknown-key", "out-of-range"]
    client.text_document_did_close(t.DidCloseTextDocumentParams(t.TextDocumentIdentifier(uri)))
    assert await pushed(client, uri) == []


@pytest.mark.asyncio
async def test_a_parse_error_has_its_related_place(start, tmp_path):
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", "[config]\nremove_weight = true\nremove_weight = false\n")
    [diagnostic] = await pushed(client, uri)
    assert (diagnostic.code, diagnostic.range.start.line) == ("parse-error", 2)
    [related] = diagnostic.related_information
    assert (related.location.uri, related.location.range.start.line, related.message) == (uri, 1, "first defined here")


# --- code actions -----------------------------------------------------------------------------------------------


def offset(text, position):
    """The index into `text` of a UTF-16 position."""
    line_start = sum(len(line) + 1 for line in text.split("\n")[:position.line])
    line, units = text.split("\n")[position.line], 0
    for i, c in enumerate(line):
        if units >= position.character:
            return line_start + i
        units += 2 if ord(c) > 0xFFFF else 1
    return line_start + len(line)


def applied(text, action, uri):
    """`text` with the edits of a code action made."""
    for edit in sorted(action.edit.changes[uri], key=lambda e: (e.range.start.line, e.range.start.character),
                       reverse=True):
        text = text[:offset(text, edit.range.start)] + edit.new_text + text[offset(text, edit.range.end):]
    return text


async def actions_at(client, uri, line, only=None):
    return await client.text_document_code_action_async(t.CodeActionParams(
        t.TextDocumentIdentifier(uri), t.Range(t.Position(line, 0), t.Position(line, 0)),
        t.CodeActionContext(diagnostics=[], only=only)))


FIX_ALL = "source.fixAll.vora-config"
# (text, line asked at, [(title, kind, preferred, the text after it)])
ACTIONS = {
    "a certain rename": ("[config]\noptimisation_level = 2\n", 1, [
        ("Replace with `optimization_level`", "quickfix", True, "[config]\noptimization_level = 2\n"),
        ("Silence unknown-key on this line", "quickfix", None,
         "[config]\noptimisation_level = 2  # vora-config: ignore[unknown-key]\n"),
        ("Fix all vora-config findings", FIX_ALL, None, "[config]\noptimization_level = 2\n"),
    ]),
    "a rename under which the value does not load is a suggestion": ('[config]\noptimisation_level = "x"\n', 1, [
        ("Replace with `optimization_level`", "quickfix", False, '[config]\noptimization_level = "x"\n'),
        ("Silence unknown-key on this line", "quickfix", None,
         '[config]\noptimisation_level = "x"  # vora-config: ignore[unknown-key]\n'),
    ]),
    "a suppression comment extended, CRLF kept": (
        "[config]\r\noptimisation_level = 2 # vora-config: ignore[out-of-range] \r\n", 1, [
        ("Replace with `optimization_level`", "quickfix", True,
         "[config]\r\noptimization_level = 2 # vora-config: ignore[out-of-range] \r\n"),
        ("Silence unknown-key on this line", "quickfix", None,
         "[config]\r\noptimisation_level = 2 # vora-config: ignore[out-of-range, unknown-key] \r\n"),
        ("Fix all vora-config findings", FIX_ALL, None,
         "[config]\r\noptimization_level = 2 # vora-config: ignore[out-of-range] \r\n"),
    ]),
    "an unknown code in a suppression is not silenced": ("[config]\nremove_weight = true # vora-config: ignore[x]\n",
                                                         1, []),
    "a syntax error is not silenced": ("[config]\nremove_weight = tru\n", 1, []),
    "no comment inside a multi-line string": ('[config]\ncustom_strin = """a\nb"""\n', 1, [
        ("Replace with `custom_string`", "quickfix", True, '[config]\ncustom_string = """a\nb"""\n'),
        ("Fix all vora-config findings", FIX_ALL, None, '[config]\ncustom_string = """a\nb"""\n'),
    ]),
    "the value of a non-ASCII line": ('[config]\nquantized_algorithm = "MMS\u00c9"\ncustom_string = "\U0001F600"\n',
                                      1, [
        ("Replace with `mmse`", "quickfix", True,
         '[config]\nquantized_algorithm = "mmse"\ncustom_string = "\U0001F600"\n'),
        ('Silence unknown-choice on this line', "quickfix", None,
         '[config]\nquantized_algorithm = "MMS\u00c9"  # vora-config: ignore[unknown-choice]\ncustom_string = '
         '"\U0001F600"\n'),
        ("Fix all vora-config findings", FIX_ALL, None,
         '[config]\nquantized_algorithm = "mmse"\ncustom_string = "\U0001F600"\n'),
    ]),
}


@pytest.mark.parametrize("text, line, expected", ACTIONS.values(), ids=ACTIONS.keys())
@pytest.mark.asyncio
async def test_code_actions(start, tmp_path, text, line, expected):
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", text)
    actions = await actions_at(client, uri, line)
    assert [(a.title, a.kind, a.is_preferred, applied(text, a, uri)) for a in actions] == expected
    for action in actions:
        if action.kind == "quickfix":
            assert [d.code for d in action.diagnostics] == [action.title.split()[1]] if "Silence" in action.title \
                else len(action.diagnostics) == 1


@pytest.mark.parametrize("only, kinds", [
    (["source.fixAll"], [FIX_ALL]),
    (["source"], [FIX_ALL]),
    (["quickfix"], ["quickfix"] * 6),
    (["refactor"], []),
])
@pytest.mark.asyncio
async def test_code_actions_of_the_kinds_asked_for(start, tmp_path, only, kinds):
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", CONFIG)
    actions = await client.text_document_code_action_async(t.CodeActionParams(
        t.TextDocumentIdentifier(uri), t.Range(t.Position(0, 0), t.Position(9, 0)),
        t.CodeActionContext(diagnostics=[], only=only)))
    assert [a.kind for a in actions] == kinds


FIX_ALL_TEXTS = [
    CONFIG,
    '[Config]\nOptimization_Level = 2\nquantized_algorithm = "MMSE"\n[build]\nvora_batch_siz = 1\n',
    "# \u00e9\U0001F600\n[CONFIG]\nfloat_dtype = 'Float16'\n[load]\nmodel_type = \"onnx\"\nmodle = \"m.onnx\"\n",
]


@pytest.mark.parametrize("text", FIX_ALL_TEXTS)
@pytest.mark.asyncio
async def test_fix_all_is_what_check_fix_writes(start, cli, tmp_path, text):  # noqa: F811
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", text)
    [action] = await actions_at(client, uri, 0, only=[FIX_ALL])
    fixed = subprocess.run([cli, "check", "--fix", "-"], input=text.encode(), capture_output=True).stdout.decode()
    assert fixed != text
    assert applied(text, action, uri) == fixed


# --- hover ------------------------------------------------------------------------------------------------------

LOADS = '[config]\noptimization_level = 2\n[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\ninputs = ["images"]\n'
# (text, line, character, markdown or None, the range's characters on its line)
HOVERS = {
    "a key with its range, choices and argument": (LOADS, 1, 5, (
        "**optimization_level** in [config]\n\nOptimization level [0, 1, 2, 3]\n\n- type: integer\n- default: `3`\n"
        "- range: 0 to 3\n- one of: `0`, `1`, `2`, `3`\n- the converter receives: `config(optimization_level=2)`"),
        (0, 18)),
    "a positional argument": (LOADS, 4, 0, (
        "**model** in [load]\n\nPath to the ONNX model file\n\n- type: text\n- default: `\"model.onnx\"`\n"
        "- the converter receives: `load_onnx('m.onnx')`"), (0, 5)),
    "a key left out of the call": ('[build]\ndataset = "d.txt"\nvora_batch_size = 1\n[load]\nmodel_type = "Onnx"\n',
                                   2, 3, (
        "**vora_batch_size** in [build]\n\nBatch size for inference (default: None)\n\n"
        "- type: integer, may be left unset\n- default: unset\n- at least 1\n"
        "- the converter receives: `build(vora_batch_size=1)`"), (0, 15)),
    "the tag of [load]": (LOADS, 3, 0, (
        "**model_type** in [load]\n\nFormat of the model to load; Onnx is the one format\n\n- type: text\n"
        "- one of: `\"Onnx\"`"), (0, 10)),
    "a file that does not load": ("[config]\nfloat_dtype = 1\n", 1, 0, (
        "**float_dtype** in [config]\n\nfloat_dtype [float16, float32, bfloat16]\n\n- type: text, may be left unset\n"
        "- default: `\"float16\"`\n- one of: `\"float16\"`, `\"float32\"`, `\"bfloat16\"`\n"
        "- the converter receives nothing: the file does not load"), (0, 11)),
    "the model's inputs and outputs": (LOADS, 5, 3, (
        "**inputs** in [load]\n\nOptional list of input names (e.g. [\"input0\"])\n\n"
        "- type: list of texts, may be left unset\n- default: unset\n"
        "- the converter receives: `load_onnx(inputs=['images'])`\n\nmodel `{folder}/m.onnx`:\n"
        "- input `images`: float32 [N, 3, H, W]\n- input `scale`: float32 [1]\n- output `out0`: float32 any shape\n"
        "- output `out1`: float32 any shape"), (0, 6)),
    "a section header": ("[export]\nexport_path = 'a.vora'\n", 0, 3, (
        "**[export]**\n\nThe [export] section: the arguments of VORA.export_vora.\n\nkeys:\n"
        "- `export_path`"), (1, 7)),
    "a key of a dotted name at the top level": ("config.remove_weight = true\n", 0, 10, (
        "**remove_weight** in [config]\n\nRemove the weights from the model.\n\n- type: boolean, may be left unset\n"
        "- default: `false`\n- the converter receives: `config(remove_weight=True)`"), (7, 20)),
    "a value": (LOADS, 1, 21, None, None),
    "a key not declared": ("[config]\noptimisation_level = 2\n", 1, 3, None, None),
}


@pytest.mark.parametrize("text, line, character, markdown, span", HOVERS.values(), ids=HOVERS.keys())
@pytest.mark.asyncio
async def test_hover(start, tmp_path, text, line, character, markdown, span):
    from test_check_files import save
    save(tmp_path, "two inputs, symbolic")
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", text)
    hover = await client.text_document_hover_async(t.HoverParams(t.TextDocumentIdentifier(uri),
                                                                 t.Position(line, character)))
    if markdown is None:
        assert hover is None
        return
    assert (hover.contents.kind, hover.contents.value) == ("markdown", markdown.format(folder=tmp_path))
    assert (hover.range.start.line, hover.range.start.character, hover.range.end.line, hover.range.end.character) \
        == (line, span[0], line, span[1])


# --- completion -------------------------------------------------------------------------------------------------

K = t.CompletionItemKind
MODEL_LOAD = '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\n'
# (text, the cursor at "|", [(label, kind, text inserted, first character replaced)])
COMPLETIONS = {
    "keys not set yet, with their examples": ("[build]\ndo_quantization = true\n|", [
        ("dataset", K.Field, 'dataset = ${1:"dataset.txt"}', 0),
        ("vora_batch_size", K.Field, "vora_batch_size = ${1:1}", 0),
        ("auto_hybrid", K.Field, "auto_hybrid = ${1:false}", 0),
    ]),
    "a key being typed": ("[export]\nexpo|", [("export_path", K.Field, 'export_path = ${1:"model.vora"}', 0)]),
    "section names in a header": ("[build]\n[co|", [(name, K.Module, name, 1) for name in
                                                   ("config", "load", "build", "accuracy_analysis", "export")]),
    "section headers at the top level": ("|\n[build]\n", [(f"[{name}]", K.Module, f"[{name}]", 0) for name in
                                                         ("config", "load", "build", "accuracy_analysis", "export")]),
    "the choices of a closed key": ("[config]\nquantized_algorithm = |", [
        ("normal", K.Value, '"normal"', 22), ("mmse", K.Value, '"mmse"', 22)]),
    "the choices inside quotes": ('[config]\nquantized_method = "gr|"', [
        ("channel", K.Value, "channel", 20), ("group", K.Value, "group", 20), ("layers", K.Value, "layers", 20)]),
    "numbers to choose": ("[config]\noptimization_level = |", [
        (n, K.Value, n, 21) for n in ("0", "1", "2", "3")]),
    "an open list offers nothing": ("[config]\ntarget_platform = |", []),
    "the model's inputs in a string": (MODEL_LOAD + 'inputs = ["images", "|', [
        ("images", K.Value, "images", 21), ("scale", K.Value, "scale", 21)]),
    "the model's outputs": (MODEL_LOAD + "outputs = [|", [
        ("out0", K.Value, '"out0"', 11), ("out1", K.Value, '"out1"', 11)]),
    "files and folders of a path": ('[build]\ndataset = "d/|"', [
        ("a.txt", K.File, "a.txt", 13), ("sub", K.Folder, "sub/", 13)]),
    "another tool's file": ("[tool.x]\n|", []),
}


def cursor(text):
    before, _, after = text.partition("|")
    lines = before.split("\n")
    return before + after, t.Position(len(lines) - 1, len(lines[-1].encode("utf-16-le")) // 2)


@pytest.mark.parametrize("text, expected", COMPLETIONS.values(), ids=COMPLETIONS.keys())
@pytest.mark.asyncio
async def test_completion(start, tmp_path, text, expected):
    from test_check_files import save
    save(tmp_path, "two inputs, symbolic")
    (tmp_path / "d" / "sub").mkdir(parents=True)
    (tmp_path / "d" / "a.txt").write_text("")
    text, position = cursor(text)
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", text)
    result = await client.text_document_completion_async(t.CompletionParams(t.TextDocumentIdentifier(uri), position))
    items = result.items if result else []
    assert [(i.label, i.kind, i.text_edit.new_text, i.text_edit.range.start.character) for i in items] == expected
    for item in items:
        assert item.text_edit.range.end == position
        assert item.insert_text_format == (t.InsertTextFormat.Snippet if item.kind == K.Field else None)


@pytest.mark.asyncio
async def test_completion_without_snippets_inserts_the_example(start, tmp_path):
    client, _ = await start(snippets=False)
    text, position = cursor("[export]\n|")
    uri = open_document(client, tmp_path / "c.toml", text)
    result = await client.text_document_completion_async(t.CompletionParams(t.TextDocumentIdentifier(uri), position))
    assert [(i.text_edit.new_text, i.insert_text_format) for i in result.items] == [
        ('export_path = "model.vora"', None)]


# --- the files named: read again when they change -----------------------------------------------------------------

NAMES_A_MODEL = '[load]\nmodel_type = "Onnx"\nmodel = "m.onnx"\ninputs = ["image"]\n'


def model_state(tmp_path, state):
    from test_check_files import save
    (tmp_path / "m.onnx").unlink(missing_ok=True)
    save(tmp_path, state)


MODEL_STATES = [
    (None, [("missing-file", E, (2, 8, 2, 16))]),
    ("one input", [("model-mismatch", E, (3, 10, 3, 17))]),
    ("not a model", [("not-a-model", E, (2, 8, 2, 16))]),
]


@pytest.mark.asyncio
async def test_a_model_changed_on_disk_is_read_again_when_the_client_says_so(start, tmp_path):
    client, _ = await start(watch=True)
    uri = open_document(client, tmp_path / "c.toml", NAMES_A_MODEL)
    assert [d[:3] for d in summary(await pushed(client, uri))] == MODEL_STATES[0][1]
    for state, expected in MODEL_STATES[1:]:
        model_state(tmp_path, state)
        client.workspace_did_change_watched_files(t.DidChangeWatchedFilesParams(
            [t.FileEvent((tmp_path / "m.onnx").as_uri(), t.FileChangeType.Changed)]))
        assert [d[:3] for d in summary(await pushed(client, uri))] == expected


@pytest.mark.asyncio
async def test_a_pull_reads_a_model_changed_on_disk(start, tmp_path):
    client, _ = await start(pull=True)
    uri = open_document(client, tmp_path / "c.toml", NAMES_A_MODEL)
    for state, expected in MODEL_STATES:
        model_state(tmp_path, state)
        for _ in range(2):  # the second answered from what the first read
            report = await client.text_document_diagnostic_async(
                t.DocumentDiagnosticParams(t.TextDocumentIdentifier(uri)))
            assert [d[:3] for d in summary(report.items)] == expected


def test_the_files_named_are_watched_when_the_client_registers_watchers(cli):  # noqa: F811
    watching = {"capabilities": {"workspace": {"didChangeWatchedFiles": {"dynamicRegistration": True}}}}
    _, replies = converse(cli, request(1, "initialize", watching), notification("initialized", {}))
    [registration] = [r for r in replies if r.get("method") == "client/registerCapability"]
    [watch] = registration["params"]["registrations"]
    assert watch["method"] == "workspace/didChangeWatchedFiles"
    assert [w["globPattern"] for w in watch["registerOptions"]["watchers"]] == [
        "**/*.onnx", "**/*.npy", "**/*.npz", "**/*.txt", "**/*.data", "**/*.bin", "**/pyproject.toml",
        "**/vora-config.toml"]
    _, replies = converse(cli, INITIALIZE, notification("initialized", {}))
    assert [r for r in replies if "method" in r] == []


# --- in a real editor -------------------------------------------------------------------------------------------

NVIM_TEXT = '# caf\u00e9 \U0001F600\n[config]\noptimisation_level = 2\n[build]\nvora_batch_size = 0\n'


@pytest.mark.parametrize("with_tombi", [False, True], ids=["alone", "beside tombi"])
def test_neovim_applies_the_quick_fix_that_check_fix_makes(cli, tmp_path, with_tombi):  # noqa: F811
    """Neovim headless as the client: the diagnostics received, the preferred quick fix applied, the buffer as
    check --fix writes it; beside tombi's server (the schema named in the file) attached to the same buffer,
    which marks the misspelled key too."""
    import shutil
    from test_cli import SCHEMA_FILE, tool
    nvim = shutil.which("nvim")
    if not nvim:
        pytest.skip("nvim is not installed (scripts/setup.sh installs it)")
    text = ("#:schema ./vora-config.schema.json\n" if with_tombi else "") + NVIM_TEXT
    path, out = tmp_path / "c.toml", tmp_path / "out.txt"
    path.write_text(text, encoding="utf-8")
    env = {**os.environ, "VORA_CONFIG": os.path.abspath(cli), "VORA_LSP_FILE": str(path), "VORA_LSP_OUT": str(out),
           "XDG_CONFIG_HOME": str(tmp_path), "XDG_DATA_HOME": str(tmp_path), "XDG_STATE_HOME": str(tmp_path)}
    if with_tombi:
        shutil.copy(SCHEMA_FILE, tmp_path)
        env["VORA_LSP_ALSO"] = tool("tombi")
    script = os.path.join(os.path.dirname(__file__), "nvim_lsp.lua")
    subprocess.run([nvim, "--headless", "--clean", "-n", "-c", f"luafile {script}"], env=env,
                   stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    codes, *lines = out.read_text(encoding="utf-8").split("\n")[:-1]
    assert codes == "missing-section unknown-key out-of-range", lines
    if with_tombi:
        also, *lines = lines
        assert also.startswith("also: ") and int(also[6:]) >= 1
    fixed = subprocess.run([cli, "check", "--fix", "-"], input=text.encode(), capture_output=True).stdout
    assert "\n".join(lines) + "\n" == fixed.decode()


# (an edit of NAMES_A_MODEL with the model "one input" there: line, start, end, text; the findings after it)
EDITS_AFTER_FILE_CHECKS = {
    "a line above: the model's finding moves": ((0, 0, 0, 0, "# note\n"), [("model-mismatch", E, (4, 10, 4, 17))]),
    "on the line, after the value": ((3, 18, 3, 18, "  # a comment"), [("model-mismatch", E, (3, 10, 3, 17))]),
    "the name the model has": ((3, 16, 3, 16, "s"), []),
    "another model named": ((2, 9, 2, 10, "n"), [("missing-file", E, (2, 8, 2, 16))]),
    "a section above [load]": ((0, 0, 0, 0, "[build]\nauto_hybrid = true\n"), [("model-mismatch", E, (5, 10, 5, 17))]),
    "[load] misspelled: still a configuration": ((0, 1, 0, 2, "L"), [("unknown-section", E, (0, 1, 0, 5))]),
}


@pytest.mark.parametrize("edit, expected", EDITS_AFTER_FILE_CHECKS.values(), ids=EDITS_AFTER_FILE_CHECKS.keys())
@pytest.mark.asyncio
async def test_edits_after_the_files_were_checked(start, tmp_path, edit, expected):
    model_state(tmp_path, "one input")
    client, _ = await start()
    uri = open_document(client, tmp_path / "c.toml", NAMES_A_MODEL)
    assert [d[:3] for d in summary(await pushed(client, uri))] == MODEL_STATES[1][1]
    line, begin, end_line, end, text = edit
    change = t.TextDocumentContentChangePartial(t.Range(t.Position(line, begin), t.Position(end_line, end)), text)
    client.text_document_did_change(t.DidChangeTextDocumentParams(t.VersionedTextDocumentIdentifier(2, uri),
                                                                  [change]))
    after = summary(await pushed(client, uri))
    assert [d[:3] for d in after] == expected
    # What a fresh server finds in the edited text.
    fresh, _ = await start()
    edited = tmp_path / "fresh" / "c.toml"
    edited.parent.mkdir()
    model_state(edited.parent, "one input")
    lines = NAMES_A_MODEL.split("\n")
    lines[line] = lines[line][:begin] + text + lines[line][end:]
    found = summary(await pushed(fresh, open_document(fresh, edited, "\n".join(lines))))
    # ([Load] alone opened so is a configuration too, by the rule of check's walk: a misspelled section.)
    assert [(*d[:3], d[3].replace(str(edited.parent), str(tmp_path))) for d in found] == after
