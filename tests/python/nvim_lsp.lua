-- Neovim (0.7 and later) as the language server's client, headless: opens
-- the configuration $VORA_LSP_FILE with `$VORA_CONFIG lsp`, waits for its
-- diagnostics, applies the preferred quick fix of the first unknown-key
-- finding, and writes to $VORA_LSP_OUT the codes received (one line, by
-- spaces) and then the buffer's lines. With $VORA_LSP_ALSO (the command of
-- another TOML language server, run with `lsp --offline`) that server is
-- attached to the same buffer too, and a line after the codes counts the
-- diagnostics it gave ("also: N"). Any failure is written there instead,
-- as "error: ...".
local out = vim.env.VORA_LSP_OUT

local function finish(lines)
  vim.fn.writefile(lines, out)
  vim.cmd("qa!")
end

local function run()
  local file = vim.env.VORA_LSP_FILE
  local client = vim.lsp.start_client({
    name = "vora-config",
    cmd = { vim.env.VORA_CONFIG, "lsp" },
    root_dir = vim.fn.fnamemodify(file, ":h"),
  })
  if not client then return { "error: the server did not start" } end
  local also
  if vim.env.VORA_LSP_ALSO then
    also = vim.lsp.start_client({
      name = "also",
      cmd = { vim.env.VORA_LSP_ALSO, "lsp", "--offline" },
      root_dir = vim.fn.fnamemodify(file, ":h"),
    })
    if not also then return { "error: the other server did not start" } end
  end
  vim.cmd("edit " .. vim.fn.fnameescape(file))
  vim.lsp.buf_attach_client(0, client)
  if also then vim.lsp.buf_attach_client(0, also) end
  local ours = { namespace = vim.lsp.diagnostic.get_namespace(client) }
  local theirs = also and { namespace = vim.lsp.diagnostic.get_namespace(also) }
  local function received()
    return #vim.diagnostic.get(0, ours) > 0 and (not theirs or #vim.diagnostic.get(0, theirs) > 0)
  end
  if not vim.wait(20000, received, 20) then
    return { "error: no diagnostics" }
  end
  local codes, unknown = {}, nil
  for _, d in ipairs(vim.diagnostic.get(0, ours)) do
    local code = d.code or (d.user_data and d.user_data.lsp and d.user_data.lsp.code)
    table.insert(codes, code)
    if code == "unknown-key" and not unknown then unknown = d end
  end
  if not unknown then return { table.concat(codes, " "), "error: no unknown-key finding" } end
  local params = {
    textDocument = vim.lsp.util.make_text_document_params(),
    range = {
      start = { line = unknown.lnum, character = unknown.col },
      ["end"] = { line = unknown.end_lnum, character = unknown.end_col },
    },
    context = { diagnostics = { unknown.user_data.lsp }, only = { "quickfix" } },
  }
  local responses = vim.lsp.buf_request_sync(0, "textDocument/codeAction", params, 20000) or {}
  local chosen
  for _, response in pairs(responses) do
    for _, action in ipairs(response.result or {}) do
      if action.isPreferred then chosen = action end
    end
  end
  if not chosen then return { table.concat(codes, " "), "error: no preferred quick fix" } end
  vim.lsp.util.apply_workspace_edit(chosen.edit, "utf-16")
  local lines = { table.concat(codes, " ") }
  if theirs then table.insert(lines, "also: " .. #vim.diagnostic.get(0, theirs)) end
  vim.list_extend(lines, vim.api.nvim_buf_get_lines(0, 0, -1, false))
  vim.lsp.stop_client(client)
  if also then vim.lsp.stop_client(also) end
  return lines
end

local ok, result = pcall(run)
finish(ok and result or { "error: " .. tostring(result) })
