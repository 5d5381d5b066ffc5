"""Parses and renders pelmo's Mermaid text with Mermaid's own client.

Mermaid (build/mermaid/, brought by `scripts/setup.sh --mermaid`) runs in
headless Chromium on a page that parses each text with `mermaid.parse`,
renders it with `mermaid.render` and writes the outcome into the DOM as JSON,
which `--dump-dom` hands back. The texts come from the README tour, every
example's graph, random graphs of add/variants/branch calls, and graphs whose
labels and names are single awkward characters and pairs of them; for the
latter the drawing must also show every label and name exactly as given.

    check_mermaid.py                  check; prints "N parsed, M rejected"
    check_mermaid.py --pictures DIR   also write the examples' drawings
    check_mermaid.py --explore        which raw characters break Mermaid
"""

import argparse
import contextlib
import html
import importlib.util
import inspect
import io
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MERMAID_JS = ROOT / "build" / "mermaid" / "mermaid-11.16.0.min.js"

# Every ASCII character, and Unicode that differs in kind: letters with and
# without case, CJK, an astral emoji and a modifier sequence, combining
# marks, the spaces and line breaks JavaScript regexes treat specially, a
# byte order mark, bidi control, and the characters Mermaid uses internally
# for entity codes (U+FB02, U+00B0, U+00B6, U+00DF).
UNICODE_SAMPLE = [
    "é", "ß", "Ω", "я", "中", "あ", "한", "😀", "👍🏽", "\u0301", "e\u0301", "\u200b",
    "\u00a0", "\u3000", "\u0085", "\u2028", "\u2029", "\ufeff", "\u202e", "→", "¶",
    "°", "ﬂ", "｜", "＂", "\U0001d400", "\ufffd",
]
CHARS = [chr(code) for code in range(128)] + UNICODE_SAMPLE
# Sequences no pair of characters reaches: Mermaid's entity codes, HTML's,
# the markers Mermaid turns them into, and its style rewrite.
SEQUENCES = [
    "#quot;", "#35;", "#124;", "#x;", "#_;", "#;", "# ;", "a#b;c", "&amp;", "&lt;", "&#35;",
    "ﬂ°", "ﬂ°°", "¶ß", "ﬂ°quot¶ß", "ﬂ°°35¶ß", "style:#a;", "style x:#b; y", "classDef:#c;",
    "style:#a\"", "x style:a#b;", "<br/>", "a<br/>b", "<b>bold</b>", "`md`", "**b**", "_i_",
    "end", "graph TD", "-->", "---", "-.->", "==>", "%%", "%% c", "()", "[]", "{}", "((a))",
    "click", "class", "subgraph", "\\", "\\n", "\\\"", " ~~~", "\t~~~x", "é~~~", "`a\"b`",
]


# JavaScript's String.prototype.trim.
JS_SPACE = " \t\n\v\f\r\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008" \
    "\u2009\u200a\u2028\u2029\u202f\u205f\u3000\ufeff"


def collapse(text):
    # Layout, not text: Mermaid trims a label and draws a line break as
    # <br>, HTML collapses runs of white space, and a NUL never reaches the
    # page (the HTML parser drops it).
    return re.sub(r"[ \t\n\r\f]+", " ", text.replace("\0", "")).strip(JS_SPACE)


# ---------------------------------------------------------------- the client

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"></head><body>
<script src="%(script)s"></script>
<script type="application/json" id="jobs">%(jobs)s</script>
<script>
(async () => {
  mermaid.initialize({startOnLoad: false});
  const jobs = JSON.parse(document.getElementById("jobs").textContent);
  const results = [];
  for (let i = 0; i < jobs.length; i++) {
    const job = jobs[i], result = {parsed: false};
    try {
      await mermaid.parse(job.text);
      result.parsed = true;
    } catch (e) {
      result.error = String((e && e.message) || e);
    }
    if (result.parsed && job.render) {
      try {
        const {svg} = await mermaid.render("m" + i, job.text);
        // Read as the page that shows it does: as HTML, a line break as one.
        const doc = new DOMParser().parseFromString(svg, "text/html");
        for (const br of doc.querySelectorAll("br")) br.replaceWith("\\n");
        result.boxes = {};
        for (const node of doc.querySelectorAll("g.node")) {
          const id = /-flowchart-(.*)-\\d+$/.exec(node.id);
          if (id) result.boxes[id[1]] = node.textContent;
        }
        result.arrows = {};
        for (const label of doc.querySelectorAll("g.edgeLabel g.label[data-id]")) {
          const id = /^L_(.*)_(.*)_\\d+$/.exec(label.dataset.id);
          if (id) result.arrows[id[1] + " " + id[2]] = label.textContent;
        }
        if (job.svg) result.svg = svg;
      } catch (e) {
        result.parsed = false;
        result.error = "render: " + String((e && e.message) || e);
      }
    }
    results.push(result);
  }
  const out = document.createElement("pre");
  out.id = "results";
  out.textContent = JSON.stringify(results);
  document.body.appendChild(out);
})();
</script>
</body></html>
"""


def run_client(jobs):
    """Runs the jobs ({"text", "render", "svg"}) through Mermaid, in order,
    and returns one result per job."""
    if not MERMAID_JS.exists():
        sys.exit(f"check-mermaid: {MERMAID_JS} is missing; run scripts/setup.sh --mermaid")
    with tempfile.TemporaryDirectory() as scratch:
        page = Path(scratch) / "page.html"
        # "<" in a text must not close the script element that carries it.
        payload = json.dumps(jobs).replace("<", "\\u003c")
        page.write_text(PAGE % {"script": MERMAID_JS.as_uri(), "jobs": payload}, encoding="utf-8")
        command = ["chromium", "--headless", "--disable-gpu", f"--user-data-dir={scratch}/profile",
                   "--allow-file-access-from-files", "--virtual-time-budget=3600000",
                   "--dump-dom", page.as_uri()]
        if os.geteuid() == 0:
            command.insert(1, "--no-sandbox")
        completed = subprocess.run(command, capture_output=True, text=True, timeout=1800)
    found = re.search(r'<pre id="results">(.*?)</pre>', completed.stdout, re.S)
    if completed.returncode != 0 or not found:
        sys.exit(f"check-mermaid: chromium gave no results (exit {completed.returncode}):\n"
                 + completed.stderr[-2000:])
    results = json.loads(html.unescape(found.group(1)))
    assert len(results) == len(jobs), (len(results), len(jobs))
    return results


# ------------------------------------------------------------- what is drawn


def load_example(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[path.stem] = module
    spec.loader.exec_module(module)
    return module


def example_dags():
    """(name, Dag) for the README tour and each example's graph. Parameters
    the graph only hands to its callables (dask_offload's client) are None:
    nothing runs."""
    tour = (ROOT / "README.md").read_text(encoding="utf-8").split("## A short tour", 1)[1]
    code = re.search(r"```python\n(.*?)```", tour, re.S).group(1)
    namespace = {}
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(code, "README.md", "exec"), namespace)
    yield "readme_tour", namespace["dag"]
    for path in sorted((ROOT / "examples").glob("*.py")):
        build_graph = load_example(path).build_graph
        required = [p for p in inspect.signature(build_graph).parameters.values()
                    if p.default is inspect.Parameter.empty]
        yield path.stem, build_graph(*[None] * len(required))


def noop(_inputs):
    return {}


def random_dag(rng, pelmo, alphabet, depth=0):
    """A graph of random add/variants/branch calls with random labels and
    names drawn from `alphabet`."""
    def text(limit=6):
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, limit)))

    def names():
        return {text(): text() for _ in range(rng.randint(0, 3))}

    graph = pelmo.Graph()
    pool = [text() for _ in range(4)]
    for _ in range(rng.randint(1, 8)):
        label = rng.choice([None, text(), text(12)])
        inputs = {rng.choice(pool): text() for _ in range(rng.randint(0, 2))}
        outputs = {text(): rng.choice(pool) for _ in range(rng.randint(0, 2))}
        action = rng.random()
        if action < 0.6:
            graph.add(noop, label, inputs, outputs)
        elif action < 0.85:
            graph.variants([noop] * rng.randint(0, 3), label, inputs, outputs or names())
        elif depth < 2:
            graph.branch(random_dag(rng, pelmo, alphabet, depth + 1))
    return graph if depth else graph.build()


def named_chain(pelmo, strings):
    """A chain whose node k+1 is labelled strings[k] and reads the name
    strings[k] that node k writes, so each arrow shows "s → s". Returns the
    Dag and what its boxes and arrows must show, by Mermaid id."""
    graph = pelmo.Graph()
    graph.add(noop, "start", outputs={"o": strings[0]})
    boxes, arrows = {"0": "start"}, {}
    for k, string in enumerate(strings):
        following = strings[k + 1] if k + 1 < len(strings) else "end"
        graph.add(noop, string, inputs={string: string}, outputs={"o": following})
        boxes[str(k + 1)] = string
        arrows[f"{k} {k + 1}"] = f"{string} \u2192 {string}"
    return graph.build(), {"boxes": boxes, "arrows": arrows}


def fuzz_strings():
    # Three in a row open some of Mermaid's syntax ("~~~", "[[[", "```").
    singles = [s for c in CHARS for s in (c, f"a{c}b", c * 3)] + SEQUENCES + [""]
    pairs = [c + d for c in CHARS for d in CHARS]
    return singles, pairs


def collect(pictures):
    """The jobs of a check: (source, job, expected display or None)."""
    import pelmo

    items = []
    for name, dag in example_dags():
        items.append((name, {"text": dag.to_mermaid(), "render": True, "svg": pictures}, None))
    rng = random.Random(20260412)
    alphabet = list("abcxyz019 _-") + CHARS
    for index in range(200):
        text = random_dag(rng, pelmo, alphabet).to_mermaid()
        items.append((f"random graph {index}", {"text": text, "render": True}, None))
    singles, pairs = fuzz_strings()
    # HTML, Markdown and math in a label are drawn as such on purpose: such
    # text must parse, but shows what the markup makes of it. A name strings
    # eight pairs together, as drawing costs by the box.
    markup = [s for s in singles if is_markup(s)]
    markup += eights([p for p in pairs if is_markup(p)])
    plain = eights([p for p in pairs if not is_markup(p)])
    markup += [s for s in plain if is_markup(s)]
    for group, strings, size in (("names", singles, 40), ("pairs", plain, 200),
                                 ("markup", markup, 200)):
        strings = [s for s in strings if (group == "markup") == is_markup(s)]
        for start in range(0, len(strings), size):
            dag, shown = named_chain(pelmo, strings[start:start + size])
            job = {"text": dag.to_mermaid(), "render": True}
            items.append((f"fuzzed {group} {start}", job, None if group == "markup" else shown))
    return items


def eights(strings):
    return ["".join(strings[start:start + 8]) for start in range(0, len(strings), 8)]


def is_markup(string):
    return ("<" in string or "&" in string or re.fullmatch("`[^`]+`", string) is not None
            or re.search(r"\$\$.*\$\$", string) is not None)


def mismatches(result, shown):
    for kind in ("boxes", "arrows"):
        drawn = result.get(kind, {})
        for key, want in shown[kind].items():
            got = drawn.get(key)
            if got is None or collapse(got) != collapse(want):
                yield f"{kind[:-2] if kind == 'boxes' else 'arrow'} {key} shows {got!r}, not {want!r}"


def check(pictures):
    started = time.monotonic()
    items = collect(pictures is not None)
    results = run_client([job for _, job, _ in items])
    parsed = rejected = 0
    for (source, job, shown), result in zip(items, results):
        problems = [] if result["parsed"] else [result.get("error", "rejected")]
        if shown is not None and result["parsed"]:
            problems += list(mismatches(result, shown))
        if problems:
            rejected += 1
            print(f"REJECTED {source}:\n  " + "\n  ".join(problems[:5]), file=sys.stderr)
            print("  text: " + json.dumps(job["text"])[:2000], file=sys.stderr)
        else:
            parsed += 1
        if pictures is not None and "svg" in result:
            # The text beside its drawing: the order of the names on one
            # arrow may differ in another process.
            Path(pictures).mkdir(parents=True, exist_ok=True)
            (Path(pictures) / f"{source}.svg").write_text(result["svg"] + "\n", encoding="utf-8")
            (Path(pictures) / f"{source}.mmd").write_text(job["text"], encoding="utf-8")
    print(f"check-mermaid: {parsed} parsed, {rejected} rejected "
          f"({len(items)} texts, {time.monotonic() - started:.1f} s)")
    return 1 if rejected else 0


# --------------------------------------------------------------- exploration

RAW_BOX = 'graph TD\n    0["%s"]\n'
RAW_ARROW = 'graph TD\n    0["A"]\n    1["B"]\n    0 -->|%s| 1\n'


def raw_box_chain(strings):
    lines = [f'    {k}["{string}"]' for k, string in enumerate(strings)]
    lines += [f"    {k} --> {k + 1}" for k in range(len(strings) - 1)]
    return "graph TD\n" + "\n".join(lines) + "\n", {
        "boxes": {str(k): string for k, string in enumerate(strings)}}


def raw_arrow_chain(strings):
    lines = [f"    {k} -->|{string}| {k + 1}" for k, string in enumerate(strings)]
    return "graph TD\n" + "\n".join(lines) + "\n", {
        "arrows": {f"{k} {k + 1}": string for k, string in enumerate(strings)}}


def explore():
    """Which strings, written raw, break Mermaid in each position: parsing
    everything, rendering what parses to compare the drawing."""
    singles, pairs = fuzz_strings()
    strings = singles + pairs
    for position, raw, chain in (("box text", RAW_BOX, raw_box_chain),
                                 ("arrow label", RAW_ARROW, raw_arrow_chain)):
        results = run_client([{"text": raw % s, "render": False} for s in strings])
        broken = {s: "rejected" for s, result in zip(strings, results) if not result["parsed"]}
        parsing = [s for s in strings if s not in broken]
        batches = [parsing[start:start + 160] for start in range(0, len(parsing), 160)]
        jobs = []
        for batch in batches:
            text, shown = chain(batch)
            jobs.append({"text": text, "render": True})
        for batch, job, result in zip(batches, jobs, run_client(jobs)):
            if not result["parsed"]:
                print(f"  a chain of {batch!r} is rejected: {result.get('error')}")
                continue
            _, shown = chain(batch)
            for kind, drawn in shown.items():
                for key, string in drawn.items():
                    got = result[kind].get(key, "")
                    if collapse(got) != collapse(string):
                        broken[string] = f"shows {got!r}"
        bad = sorted({s for s in broken if len(s) == 1} | {s[1] for s in broken if len(s) == 3 and s[0] == "a" and s[2] == "b"})
        print(f"== {position}: characters that break alone or inside a word:")
        for c in bad:
            why = broken.get(c) or broken.get(f"a{c}b")
            print(f"  {c!r} ({why})")
        print(f"== {position}: other strings that break:")
        for string, why in broken.items():
            if string in bad or (len(string) == 3 and string[1] in bad and string[0] == "a"):
                continue
            if len(string) == 2 and (string[0] in bad or string[1] in bad):
                continue
            print(f"  {string!r} ({why})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pictures", metavar="DIR", help="write the examples' SVG drawings here")
    parser.add_argument("--explore", action="store_true", help="report which raw characters break")
    arguments = parser.parse_args()
    if arguments.explore:
        explore()
        return 0
    return check(arguments.pictures)


if __name__ == "__main__":
    sys.exit(main())
