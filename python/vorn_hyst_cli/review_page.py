"""The review page's HTML, style and script: one file with nothing to fetch
from the network, filled in by review.ReviewWriter.

The script keeps every row it has loaded (a few hundred bytes each: 100,000
rows are some tens of MB) and shows them a page of PER_PAGE at a time, sorted
by verdict (levels fixed first) and then in input order. Thumbnails are
loaded only for the rows shown, one chunk script at a time, and no more than
KEEP_CHUNKS chunks are kept. The filter is in the address's fragment (or its
query): #v=fixed&q=name&p=2. Every text from the run goes into the page as
text, never as markup.
"""

from __future__ import annotations

import html

STYLE = """
:root { color-scheme: light; --line: #dcdcdc; --muted: #666; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", sans-serif;
       color: #1d1d1d; background: #f6f6f4; }
header { padding: 14px 20px 10px; background: #fff; border-bottom: 1px solid var(--line); }
h1 { font-size: 19px; margin: 0 0 2px; font-weight: 600; }
.run { color: var(--muted); margin: 0 0 8px; overflow-wrap: anywhere; }
.state { margin: 0 0 10px; padding: 6px 10px; border-radius: 4px; background: #eef3fb; }
.state.interrupted, .state.stopped, .state.running { background: #fff4d6; }
.chart { display: grid; grid-template-columns: max-content 320px max-content; gap: 3px 10px;
         align-items: center; }
.chart a { color: inherit; text-decoration: none; }
.chart a:hover { text-decoration: underline; }
.chart .bar { height: 12px; border-radius: 2px; min-width: 2px; }
.chart .n { text-align: right; font-variant-numeric: tabular-nums; }
nav { position: sticky; top: 0; z-index: 1; display: flex; flex-wrap: wrap; gap: 6px 12px;
      align-items: center; padding: 8px 20px; background: #fff;
      border-bottom: 1px solid var(--line); }
nav .filters a { padding: 2px 8px; border-radius: 10px; color: inherit; text-decoration: none;
                 border: 1px solid var(--line); margin-right: 4px; white-space: nowrap;
                 display: inline-block; margin-bottom: 2px; }
nav .filters a.on { background: #1d1d1d; color: #fff; border-color: #1d1d1d; }
nav input { font: inherit; padding: 3px 6px; width: 16em; }
nav button { font: inherit; padding: 2px 10px; }
.pager { margin-left: auto; white-space: nowrap; }
table { border-collapse: collapse; width: 100%; background: #fff; }
td { vertical-align: top; padding: 10px 12px; border-bottom: 1px solid var(--line); }
td.pics { white-space: nowrap; width: 1%; }
figure { display: inline-block; margin: 0 8px 0 0; vertical-align: top; text-align: center; }
figcaption { font-size: 12px; color: var(--muted); }
.pic { display: flex; align-items: center; justify-content: center; width: 200px;
       height: 60px; background: #eee; color: var(--muted); font-size: 12px; }
.pic a { display: block; width: 100%; height: 100%; }
.pic img { display: block; width: 100%; height: 100%; object-fit: contain;
           box-shadow: 0 0 0 1px #ccc; }
.file a { color: #0b4f9c; overflow-wrap: anywhere; }
.file .sub { color: var(--muted); font-size: 12px; }
.badge { display: inline-block; padding: 1px 8px; border-radius: 10px; color: #fff;
         white-space: nowrap; font-size: 13px; }
.rule { color: var(--muted); font-size: 12px; margin-top: 4px; }
.why { max-width: 46em; }
.error { color: #a11; }
.measures { color: var(--muted); font-size: 12px; margin-top: 6px; }
.out { font-size: 12px; margin-top: 6px; overflow-wrap: anywhere; }
.empty { padding: 30px 20px; color: var(--muted); }
"""

# One colour per verdict, in the order of outcome.Verdict.
COLOURS = ["#1a7f37", "#57606a", "#bc4c00", "#6f42c1", "#8c959f", "#cf222e", "#9a6700",
           "#0969da", "#82071e"]

SCRIPT = r"""
"use strict";
(function () {
  const RUN = window.vornRun;
  const C = {};
  RUN.columns.forEach((name, i) => { C[name] = i; });
  const VERDICTS = RUN.verdicts;  // [key, text], in display order
  const KEY = {};
  VERDICTS.forEach((v, i) => { KEY[v[0]] = i; });
  const PER_PAGE = 50, KEEP_CHUNKS = 24, BOX = [200, 283];
  const rows = [];
  let order = null;  // the rows sorted; made again when more arrive
  let loading = RUN.state === "running";
  const thumbs = new Map();  // chunk number -> [[before, after], ...] in base64
  const asked = new Map();  // chunk number -> its script element, while it loads
  const missing = new Set();
  const $ = (id) => document.getElementById(id);

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(props || {})) {
      if (k === "text") e.textContent = v;
      else if (k === "class") e.className = v;
      else if (k.startsWith("data-") || k === "href" || k === "alt" || k === "style")
        e.setAttribute(k, v);
      else e[k] = v;
    }
    for (const c of children) if (c !== null && c !== undefined) e.append(c);
    return e;
  }

  window.vornReview = {
    rows(list) { for (const r of list) rows.push(r); order = null; },
    thumbs(n, list) {
      thumbs.delete(n);
      thumbs.set(n, list);
      const s = asked.get(n);
      if (s) { s.remove(); asked.delete(n); }
      fill(n);
    },
  };

  function sorted() {
    if (!order) {
      order = rows.slice().sort((a, b) => a[C.verdict] - b[C.verdict]
        || a[C.index] - b[C.index] || a[C.seq] - b[C.seq]);
    }
    return order;
  }

  function params() {
    const text = location.hash.length > 1 ? location.hash.slice(1) : location.search.slice(1);
    const p = new URLSearchParams(text);
    return { v: p.get("v") || "", q: p.get("q") || "",
             p: Math.max(1, parseInt(p.get("p"), 10) || 1) };
  }

  function link(change) {
    const s = Object.assign(params(), change);
    const p = new URLSearchParams();
    if (s.v) p.set("v", s.v);
    if (s.q) p.set("q", s.q);
    if (s.p > 1) p.set("p", s.p);
    return "#" + p.toString();
  }

  function counts() {
    if (RUN.counts) {
      const c = VERDICTS.map(() => 0);
      for (const [i, n] of Object.entries(RUN.counts)) c[i] = n;
      return c;
    }
    const c = VERDICTS.map(() => 0);
    for (const r of rows) c[r[C.verdict]] += 1;
    return c;
  }

  function header() {
    const c = counts();
    const total = c.reduce((a, b) => a + b, 0);
    const most = Math.max(1, ...c);
    const chart = $("chart");
    chart.replaceChildren();
    VERDICTS.forEach((v, i) => {
      if (!c[i]) return;
      const bar = el("div", { class: "bar", style: "width:" + (100 * c[i] / most) + "%;"
                                                 + "background:" + RUN.colours[i] });
      chart.append(el("a", { href: link({ v: v[0], p: 1 }), text: v[1] }),
                   el("div", {}, bar), el("span", { class: "n", text: c[i] }));
    });
    const state = $("state");
    const files = RUN.files === null || RUN.files === undefined ? "" : RUN.files + " files, ";
    const done = files + total + " images or pages";
    const texts = {
      running: "The run is under way: " + rows.length + " rows written so far"
        + (loading ? " (loading)" : "") + ". Reload the page to see more.",
      complete: "Complete: " + done + ".",
      interrupted: "Interrupted (Ctrl-C or SIGTERM): " + done + " finished before, listed here.",
      stopped: "Stopped: " + (RUN.message || "the run could not go on") + ". " + done
        + " finished before, listed here.",
    };
    const dry = " Dry run: nothing was written; \u201cafter\u201d shows what would be.";
    state.textContent = (texts[RUN.state] || RUN.state) + (RUN.dry_run ? dry : "");
    state.className = "state " + RUN.state;
  }

  function percent(x) {
    const v = 100 * x;
    return (v >= 10 || v === 0 ? v.toFixed(0) : v.toPrecision(2)) + " %";
  }

  const LABELS = { dark_deviation: "dark deviation", light_deviation: "light deviation",
                   colour_share: "colour", black_share: "black", white_share: "white",
                   paper_level: "paper", ink_level: "ink", colour_score: "colour score",
                   bytes_before: "bytes before", bytes_after: "bytes after" };

  function measures(r) {
    const parts = [];
    for (const name of RUN.measures) {
      const v = r[C[name]];
      if (v === null || v === undefined || v === "") continue;
      const shown = /_share$|_deviation$/.test(name) ? percent(v)
        : name.startsWith("bytes_") ? Number(v).toLocaleString("en") : String(v);
      parts.push((LABELS[name] || name) + " " + shown);
    }
    return parts.join(" \u00b7 ");
  }

  function picture(r, k) {
    const t = r[C.thumbs];
    const v = VERDICTS[r[C.verdict]][0];
    let text = null;
    if (k === 1 && t && !t[2]) text = v === "failed" ? "" : "unchanged";
    else if (!t) {
      text = { failed: "not read", skipped: "output exists" }[v]
        || (k === 0 ? "no thumbnail" : "unchanged");
    }
    const box = el("div", { class: "pic" });
    if (text === null && r[C.width] > 0 && r[C.height] > 0) {  // the page's shape, in the box
      const s = Math.min(BOX[0] / r[C.width], BOX[1] / r[C.height]);
      box.style.width = Math.max(8, Math.round(r[C.width] * s)) + "px";
      box.style.height = Math.max(8, Math.round(r[C.height] * s)) + "px";
    }
    if (text !== null) {
      box.textContent = text;
    } else {
      const img = el("img", { alt: (k ? "after: " : "before: ") + r[C.path],
                              "data-n": t[0], "data-s": t[1], "data-k": k });
      const target = k ? r[C.out_href] : r[C.href];
      box.append(target ? el("a", { href: target, target: "_blank" }, img) : img);
    }
    const caption = k ? (RUN.dry_run ? "after (not written)" : "after") : "before";
    return el("figure", {}, box, el("figcaption", { text: caption }));
  }

  function line(r) {
    const v = r[C.verdict];
    const where = [];
    if (r[C.page] !== null) where.push("page " + r[C.page]);
    if (r[C.image]) where.push("image " + r[C.image]);
    if (r[C.width] !== null && r[C.height] !== null) {
      where.push(r[C.width] + " \u00d7 " + r[C.height]);
    }
    const file = el("td", { class: "file" },
      el("a", { href: r[C.href], target: "_blank", title: r[C.path],
                text: within(r[C.path], RUN.inputs) }),
      where.length ? el("div", { class: "sub", text: where.join(" \u00b7 ") }) : null);
    const rule = r[C.rule] ? r[C.rule] + " rule" : "";
    const verdict = el("td", {},
      el("span", { class: "badge", style: "background:" + RUN.colours[v],
                   text: VERDICTS[v][1] }),
      rule ? el("div", { class: "rule", text: rule }) : null);
    const m = measures(r);
    const why = el("td", { class: "why" },
      r[C.error] ? el("div", { class: "error", text: r[C.error] }) : null,
      r[C.reason] ? el("div", { text: r[C.reason] }) : null,
      m ? el("div", { class: "measures", text: m }) : null,
      r[C.output] && VERDICTS[v][0] !== "failed"
        ? el("div", { class: "out" }, "\u2192 ", r[C.out_href]
          ? el("a", { href: r[C.out_href], target: "_blank", title: r[C.output],
                      text: within(r[C.output], [RUN.output]) })
          : r[C.output]) : null);
    return el("tr", { "data-verdict": VERDICTS[v][0] },
              el("td", { class: "pics" }, picture(r, 0), picture(r, 1)), file, verdict, why);
  }

  // A name under one of the run's folders is shown from there, as the archivist
  // typed it; the link keeps the whole path as its title.
  function within(path, roots) {
    for (const root of roots || []) {
      if (!root) continue;
      const base = /[\\/]$/.test(root) ? root : root + (root.includes("\\") ? "\\" : "/");
      if (path.startsWith(base) && path.length > base.length) return path.slice(base.length);
    }
    return path;
  }

  function fill(n) {
    const list = thumbs.get(n);
    for (const img of document.querySelectorAll('img[data-n="' + n + '"]')) {
      const data = list ? list[+img.dataset.s][+img.dataset.k] : "";
      if (data) img.src = "data:image/jpeg;base64," + data;
      else img.replaceWith(document.createTextNode("thumbnail missing"));
    }
  }

  function ask(n) {
    if (asked.has(n)) return;
    const s = el("script", { src: RUN.folder + "thumbs-" + String(n).padStart(6, "0") + ".js" });
    s.onerror = () => { s.remove(); asked.delete(n); missing.add(n); fill(n); };
    asked.set(n, s);
    document.head.append(s);
  }

  function render() {
    header();
    const s = params();
    const want = s.v in KEY ? KEY[s.v] : -1;
    const q = s.q.toLowerCase();
    const list = sorted().filter((r) => (want < 0 || r[C.verdict] === want)
      && (!q || r[C.path].toLowerCase().includes(q)));
    const pages = Math.max(1, Math.ceil(list.length / PER_PAGE));
    const page = Math.min(s.p, pages);
    const shown = list.slice((page - 1) * PER_PAGE, page * PER_PAGE);
    const filters = $("filters");
    const c = counts();
    filters.replaceChildren(el("a", { href: link({ v: "", p: 1 }), class: want < 0 ? "on" : "",
                                      text: "all" }));
    VERDICTS.forEach((v, i) => {
      if (c[i] || want === i) {
        filters.append(el("a", { href: link({ v: v[0], p: 1 }), class: want === i ? "on" : "",
                                 text: v[1] + " (" + c[i] + ")" }));
      }
    });
    if (document.activeElement !== $("q")) $("q").value = s.q;
    $("where").textContent = list.length ? "rows " + ((page - 1) * PER_PAGE + 1) + "\u2013"
      + ((page - 1) * PER_PAGE + shown.length) + " of " + list.length + ", page " + page
      + " of " + pages : "no rows";
    $("prev").disabled = page <= 1;
    $("next").disabled = page >= pages;
    $("prev").onclick = () => { location.hash = link({ p: page - 1 }); };
    $("next").onclick = () => { location.hash = link({ p: page + 1 }); };
    const body = $("rows");
    body.replaceChildren(...shown.map(line));
    $("none").hidden = shown.length > 0 || loading;
    const need = new Set();
    for (const r of shown) if (r[C.thumbs]) need.add(r[C.thumbs][0]);
    for (const n of need) {
      if (thumbs.has(n) || missing.has(n)) fill(n); else ask(n);
    }
    for (const n of thumbs.keys()) {  // the oldest chunks not shown go first
      if (thumbs.size <= KEEP_CHUNKS) break;
      if (!need.has(n)) thumbs.delete(n);
    }
  }

  let queued = false;
  function later() {
    if (queued) return;
    queued = true;
    setTimeout(() => { queued = false; render(); }, 50);
  }

  function loadRows(n) {  // while the run goes: chunk after chunk until one is missing
    const s = el("script", { src: RUN.folder + "rows-" + String(n).padStart(6, "0") + ".js" });
    s.onload = () => { s.remove(); later(); loadRows(n + 1); };
    s.onerror = () => { s.remove(); loading = false; later(); };
    document.head.append(s);
  }

  window.vornReviewStart = function () {
    const parts = [];
    if (RUN.inputs) parts.push(RUN.inputs.join(" "));
    if (RUN.in_place) parts.push("in place");
    else if (RUN.output) parts.push("\u2192 " + RUN.output);
    if (RUN.skip_existing) parts.push("--skip-existing");
    if (RUN.scheduler) parts.push("on " + RUN.scheduler);
    if (RUN.rule && RUN.rule !== "both") parts.push(RUN.rule + " rule");
    parts.push("started " + RUN.started + (RUN.finished ? ", ended " + RUN.finished : ""));
    parts.push("vorn-hyst " + RUN.version);
    $("run").textContent = parts.join(" \u00b7 ");
    let typing = null;
    $("q").oninput = () => {
      clearTimeout(typing);
      typing = setTimeout(() => { location.replace(link({ q: $("q").value, p: 1 })); }, 250);
    };
    window.addEventListener("hashchange", () => { render(); window.scrollTo(0, 0); });
    document.addEventListener("keydown", (e) => {
      if (e.target === $("q")) return;
      if (e.key === "ArrowRight" && !$("next").disabled) $("next").click();
      if (e.key === "ArrowLeft" && !$("prev").disabled) $("prev").click();
    });
    render();
    if (loading) loadRows(1);
  };
})();
"""

BODY = """<header>
<h1>vorn-hyst review</h1>
<p class="run" id="run"></p>
<p class="state" id="state"></p>
<div class="chart" id="chart"></div>
</header>
<nav>
<span class="filters" id="filters"></span>
<input id="q" type="search" placeholder="file name contains\u2026" aria-label="filter by name">
<span class="pager"><button id="prev">\u2190 previous</button> <span id="where"></span>
<button id="next">next \u2192</button></span>
</nav>
<table><tbody id="rows"></tbody></table>
<p class="empty" id="none" hidden>No rows match.</p>
"""


def page(config_json, chunk_sources):
    """The whole HTML page: `config_json` is the run's description as JSON
    safe in a script element, `chunk_sources` the row chunks to load before
    the page is drawn (none while the run goes: its script finds them)."""
    chunks = "".join(f'<script src="{html.escape(src)}"></script>\n' for src in chunk_sources)
    colours = ",".join(f'"{c}"' for c in COLOURS)
    return (f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            f"<title>vorn-hyst review</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
            f"{BODY}<script>\nwindow.vornRun = {config_json};\n"
            f"window.vornRun.colours = [{colours}];\n{SCRIPT}</script>\n{chunks}"
            f"<script>window.vornReviewStart();</script>\n</body>\n</html>\n")
