"""``shredder inspect --html``: the tree of a dataset's paths as one self-contained page.

Everything the page needs is inside it (styles, script, and the data as JSON), so it opens
from a file, offline, and mails as one attachment; it loads nothing. The script builds the
rows of a node when it is first opened, so a schema of thousands of paths opens at once.
"""

from __future__ import annotations

import html
import json
from typing import Any

_STYLE = """
:root { --ink: #1f2328; --dim: #656d76; --line: #d0d7de; --accent: #0969da; --soft: #ddf4ff;
        --warn: #9a6700; --bar: #54aeff; }
* { box-sizing: border-box; }
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: var(--ink);
       margin: 0; height: 100vh; display: flex; flex-direction: column; }
header { padding: 14px 20px 10px; border-bottom: 1px solid var(--line); }
h1 { font-size: 18px; margin: 0 0 4px; }
.summary { color: var(--dim); }
.note { color: var(--warn); margin-top: 4px; }
main { display: flex; flex: 1; min-height: 0; }
#left { flex: 3; overflow: auto; padding: 10px 16px; border-right: 1px solid var(--line); }
#detail { flex: 2; overflow: auto; padding: 12px 16px; }
#search { width: 100%; padding: 6px 10px; font: inherit; border: 1px solid var(--line);
          border-radius: 6px; margin-bottom: 8px; }
ul { list-style: none; margin: 0; padding-left: 18px; }
#tree { padding-left: 0; }
.row { display: grid; grid-template-columns: 18px minmax(140px, 1fr) 150px 110px 90px 80px;
       align-items: center; gap: 6px; padding: 1px 4px; border-radius: 4px; cursor: pointer;
       white-space: nowrap; }
.row:hover { background: #f6f8fa; }
.row.selected { background: var(--soft); }
.toggle { border: 0; background: none; padding: 0; width: 16px; cursor: pointer;
          color: var(--dim); font-size: 11px; }
.key { overflow: hidden; text-overflow: ellipsis; font-family: ui-monospace, monospace; }
.kind { color: var(--dim); overflow: hidden; text-overflow: ellipsis; }
.docs { position: relative; text-align: right; padding-right: 4px; }
.docs i { position: absolute; left: 0; top: 3px; bottom: 3px; background: var(--soft);
          border-radius: 2px; z-index: -1; }
.extra { color: var(--warn); font-size: 12px; overflow: hidden; text-overflow: ellipsis; }
.bytes { text-align: right; color: var(--dim); }
.match > .row .key { background: #fff8c5; }
.heading { color: var(--dim); font-size: 12px; }
h2 { font-size: 16px; margin: 0 0 8px; font-family: ui-monospace, monospace;
     word-break: break-all; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 2px 14px; margin: 0 0 14px; }
dt { color: var(--dim); }
dd { margin: 0; }
table { border-collapse: collapse; width: 100%; font-size: 13px; }
th, td { text-align: left; padding: 3px 6px; border-bottom: 1px solid var(--line);
         vertical-align: top; }
td.n { text-align: right; }
.histogram { display: flex; align-items: flex-end; gap: 4px; height: 110px;
             margin: 6px 0 18px; }
.histogram .bar { width: 34px; display: flex; flex-direction: column; align-items: center;
                  justify-content: flex-end; height: 100%; font-size: 11px; }
.histogram .bar b { display: block; width: 100%; background: var(--bar);
                    border-radius: 2px 2px 0 0; }
.histogram .bar span { color: var(--dim); }
.differs { color: var(--warn); }
"""

_SCRIPT = r"""
(function () {
  const data = JSON.parse(document.getElementById("data").textContent);
  const total = Math.max(data.documents, 1);
  const tree = document.getElementById("tree");
  const detail = document.getElementById("detail");
  const search = document.getElementById("search");
  const byPath = new Map();
  const parentOf = new Map();
  (function index(node, parent) {
    byPath.set(node.path, node);
    if (parent) parentOf.set(node.path, parent.path);
    node.children.forEach(child => index(child, node));
  })(data.root, null);

  const number = n => n.toLocaleString("en-US");
  function size(n) {
    const units = ["B", "kB", "MB", "GB"];
    let i = 0;
    while (n >= 1000 && i < units.length - 1) { n /= 1000; i++; }
    return (i ? n.toFixed(1) : String(n)) + " " + units[i];
  }
  const bucket = b => (b <= 2 ? "" : "\u2264") + b;
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  let shown = null;  // paths shown while searching; null: all
  let selected = null;

  function item(node, open) {
    const li = el("li", "node");
    li.dataset.path = node.path;
    const row = el("div", "row");
    const toggle = el("button", "toggle", node.children.length ? "\u25b8" : "");
    toggle.tabIndex = -1;
    row.appendChild(toggle);
    row.appendChild(el("span", "key", node.path === "/" ? "/ (documents)" : node.key));
    row.appendChild(el("span", "kind", node.kind));
    const docs = el("span", "docs", number(node.documents));
    const bar = el("i");
    bar.style.width = Math.min(100, 100 * node.documents / total) + "%";
    docs.appendChild(bar);
    row.appendChild(docs);
    const extra = [];
    if (node.nulls) extra.push(number(node.nulls) + " null");
    if (node.rescued) extra.push(number(node.rescued) + " rescued");
    if (node.columns.some(c => c.differs.length)) extra.push("parts differ");
    row.appendChild(el("span", "extra", extra.join(", ")));
    row.appendChild(el("span", "bytes", size(node.bytes)));
    li.appendChild(row);
    row.addEventListener("click", event => {
      if (event.target === toggle) setOpen(li, node, !li.classList.contains("open"));
      else select(li, node);
    });
    row.addEventListener("dblclick", () => setOpen(li, node, !li.classList.contains("open")));
    if (open) setOpen(li, node, true);
    return li;
  }

  function setOpen(li, node, open) {
    if (!node.children.length) return;
    let list = li.querySelector(":scope > ul");
    if (open && !list) {
      list = el("ul", "children");
      node.children.forEach(child => {
        if (shown === null || shown.has(child.path))
          list.appendChild(item(child, shown !== null));
      });
      li.appendChild(list);
    }
    if (list) list.hidden = !open;
    li.classList.toggle("open", open);
    li.querySelector(":scope > .row > .toggle").textContent = open ? "\u25be" : "\u25b8";
  }

  function select(li, node) {
    if (selected) selected.classList.remove("selected");
    selected = li.querySelector(":scope > .row");
    selected.classList.add("selected");
    detail.replaceChildren();
    detail.appendChild(el("div", "heading", "path"));
    detail.appendChild(el("h2", "", node.path));
    const facts = el("dl");
    const fact = (name, value, cls) => {
      facts.appendChild(el("dt", "", name));
      facts.appendChild(el("dd", cls, value));
    };
    fact("kind", node.kind, "kind-value");
    fact("documents", number(node.documents) + " of " + number(data.documents),
         "documents-value");
    const unkept = "not kept by these atoms";
    fact("nulls", data.rescues ? number(node.nulls) : unkept, "nulls-value");
    fact("rescued", data.rescues ? number(node.rescued) : unkept, "rescued-value");
    fact("bytes", size(node.bytes) + " (with what is below it)", "bytes-value");
    detail.appendChild(facts);
    if (node.lengths.length) {
      detail.appendChild(el("div", "heading", "array lengths (arrays by length)"));
      const histogram = el("div", "histogram");
      const most = Math.max(...node.lengths.map(([, n]) => n));
      node.lengths.forEach(([b, n]) => {
        const bar = el("div", "bar");
        bar.dataset.bucket = b;
        bar.dataset.count = n;
        bar.appendChild(el("span", "", number(n)));
        const fill = el("b");
        fill.style.height = Math.max(2, 80 * n / most) + "px";
        bar.appendChild(fill);
        bar.appendChild(el("span", "", bucket(b)));
        histogram.appendChild(bar);
      });
      detail.appendChild(histogram);
    }
    if (node.columns.length) {
      detail.appendChild(el("div", "heading", "columns"));
      const table = el("table", "columns");
      const head = el("tr");
      ["column", "type", "role", "bytes", "parts that differ"].forEach(
        h => head.appendChild(el("th", "", h)));
      table.appendChild(head);
      node.columns.forEach(c => {
        const tr = el("tr");
        tr.appendChild(el("td", "", c.name));
        tr.appendChild(el("td", "", c.type));
        tr.appendChild(el("td", "", c.role));
        tr.appendChild(el("td", "n", size(c.bytes)));
        tr.appendChild(el("td", "differs",
          c.differs.map(([part, held]) => part + ": " + held).join(", ")));
        table.appendChild(tr);
      });
      detail.appendChild(table);
    }
  }

  function render() {
    tree.replaceChildren(item(data.root, true));
  }

  function filter(query) {
    query = query.trim().toLowerCase();
    tree.dataset.query = query;  // what the rows show now
    if (!query) { shown = null; render(); return; }
    shown = new Set();
    byPath.forEach((node, path) => {
      const hit = path.toLowerCase().includes(query) ||
        node.columns.some(c => c.name.toLowerCase().includes(query));
      if (!hit) return;
      for (let p = path; p !== undefined; p = parentOf.get(p)) shown.add(p);
    });
    render();
    tree.querySelectorAll("li.node").forEach(li => {
      const path = li.dataset.path.toLowerCase();
      if (path.includes(query) && path !== "/") li.classList.add("match");
    });
  }

  let timer = null;
  search.addEventListener("input", () => {
    clearTimeout(timer);
    timer = setTimeout(() => filter(search.value), 120);
  });
  render();
  select(tree.firstChild, data.root);
})();
"""


def _json_for_script(value: Any) -> str:
    # Inside <script> only "</" could end the element early; \u003c keeps every "<" out.
    return json.dumps(value, ensure_ascii=False).replace("<", "\\u003c")


def render_page(data: dict[str, Any]) -> str:
    title = html.escape(data["title"])
    notes = []
    if data["scanned"]:
        notes.append("Counted by scanning the parts: this dataset was written before shred "
                     "recorded what its paths hold.")
    if not data["rescues"]:
        notes.append("These atoms have no rest columns: null members, and members the columns "
                     "cannot hold, were not kept, so they are not counted.")
    if not data["keys_recorded"]:
        notes.append("Some columns carry no member keys; their paths were read from their "
                     "names, where a key holding \"_\" reads as nested keys.")
    if data["differing_parts"]:
        count = len(data["differing_parts"])
        notes.append(f"{count:,} part(s) differ from the unified schema (marked \"parts "
                     "differ\"; their columns list them).")
    summary = (f"{data['documents']:,} documents · {data['parts']:,} part(s) · "
               f"{data['columns']:,} columns · {data['atoms_bytes'] / 1e6:,.1f} MB of atoms")
    note_html = "".join(f'<div class="note">{html.escape(n)}</div>' for n in notes)
    return (f"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{title}</title><style>{_STYLE}</style></head><body>"
            f"<header><h1>{title}</h1><div class=\"summary\">{summary}</div>{note_html}"
            f"</header><main><div id=\"left\"><input id=\"search\" type=\"search\" "
            f"placeholder=\"search paths and columns\" autocomplete=\"off\">"
            f"<ul id=\"tree\"></ul></div><section id=\"detail\"></section></main>"
            f"<script type=\"application/json\" id=\"data\">{_json_for_script(data)}</script>"
            f"<script>{_SCRIPT}</script></body></html>\n")
