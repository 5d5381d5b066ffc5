"""The recipes of docs/recipes.md do what they say, run as scripts and used
as modules."""

import html.parser
import itertools
import subprocess
import sys
from pathlib import Path

import pytest
from support import load_module

RECIPES = Path(__file__).resolve().parents[2] / "examples" / "recipes"


def load(name):
    return load_module(RECIPES, name)


# Each script with lines its stdout must hold and what its stderr must
# hold (None: nothing at all).
SCRIPTS = [
    ("node_failures", [], [
        "total: {'total': 6}",
        "stopped: node 0 ('Parse') failed: ValueError: invalid literal for int() with base 10: 'three'",
        "node 0 (Parse), cause: ValueError(\"invalid literal for int() with base 10: 'three'\")",
        "context: ['texts']",
        "failed: Parse: ValueError: invalid literal for int() with base 10: 'five'",
        "failed: Total: KeyError: 'numbers'",
    ], None),
    ("logging_failures", [], [
        "ERROR pipeline: node Fetch failed",
        "ConnectionError: http://127.0.0.1:9/data did not answer",
        "ERROR pipeline: a node failed",
        "KeyError: 'body'",
        "INFO pipeline: finished with ['url']",
    ], None),
    ("progress", [], ["finished nodes: 2000, x = 2000", "  node                  ms"], "2000/2000"),
    ("async_nodes", [], [], None),
    ("retries", [], [
        "flaky service, 3 attempts: {'body': 'hello'} after 3 calls",
        "service down, 3 attempts: {} after 3 calls",
        "fast enough, 2 attempts of 0.1 s: {'body': 'late'}",
    ], "TimeoutError: no answer within 0.1 s"),
    ("seeing_the_graph", [], ["```mermaid", "graph TD", "```"], None),
]


@pytest.mark.parametrize("name, args, lines, stderr", SCRIPTS, ids=[s[0] for s in SCRIPTS])
def test_script_output(name, args, lines, stderr):
    completed = subprocess.run([sys.executable, str(RECIPES / f"{name}.py"), *args],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout.splitlines()
    assert [line for line in lines if line not in out] == [], completed.stdout
    if stderr is None:
        # Every failure went where the recipe sent it, none to pelmo's report.
        assert completed.stderr == ""
    else:
        assert stderr in completed.stderr


@pytest.mark.parametrize("parallel", [False, True], ids=["sequential", "parallel"])
class TestFailures:
    def test_wrapper_records_label_and_exception(self, parallel, capsys):
        recipe = load("node_failures")
        failures = recipe.Failures()
        context = recipe.build_graph(failures.watch).execute(parallel=parallel, inputs={"texts": ["1", "x"]})
        assert [(label, type(error)) for label, error in failures] == [("Parse", ValueError), ("Total", KeyError)]
        assert sorted(context) == ["texts"]
        assert capsys.readouterr().err == ""


@pytest.mark.parametrize("parallel", [False, True], ids=["sequential", "parallel"])
def test_progress_counts_and_times_every_node(parallel):
    recipe = load("progress")
    progress, context = recipe.run(parallel=parallel)
    assert context["x"] == recipe.NODES
    labels = [label for label, _ in progress.timings]
    assert progress.finished == recipe.NODES and len(set(labels)) == recipe.NODES
    # Only a lower bound: a sleeping node takes at least its sleep.
    times = dict(progress.timings)
    assert all(times[f"step {i}"] >= recipe.SLOW_SECONDS for i in range(0, recipe.NODES, recipe.SLOW_EVERY))


@pytest.mark.parametrize("wrapper", ["run_each", "LoopThread"])
def test_async_nodes_run_and_overlap(wrapper):
    recipe = load("async_nodes")
    intervals = []
    if wrapper == "run_each":
        context = recipe.build_graph(recipe.run_each, intervals).execute(parallel=True)
    else:
        with recipe.LoopThread() as loop:
            context = recipe.build_graph(loop.wrap, intervals).execute(parallel=True)
    assert {key: value for key, value in context.items() if key.startswith("page")} == {
        f"page{i}": f"https://example.org/{i}" for i in range(8)}
    # Waiting releases the GIL, so some fetches were in flight together;
    # had each wrapper held it, every fetch would end before the next began.
    assert any(max(a[0], b[0]) < min(a[1], b[1]) for a, b in itertools.combinations(intervals, 2))


@pytest.mark.parametrize("failures, attempts, context, calls", [
    (0, 1, {"body": "ok"}, 1),
    (2, 3, {"body": "ok"}, 3),
    (3, 3, {}, 3),
])
def test_retrying(failures, attempts, context, calls, capsys):
    recipe = load("retries")
    flaky = recipe.Flaky(failures, "ok")
    assert recipe.build_graph(recipe.retrying(attempts=attempts, delay=0)(flaky)).execute() == context
    assert flaky.calls == calls
    # Only the last failure is reported, once.
    assert capsys.readouterr().err.count("ConnectionResetError: attempt") == (0 if context else 1)


def test_time_limit_raises_builtin_timeout_error():
    recipe = load("retries")
    node = recipe.time_limited(0.05)(recipe.slow(1.0))
    with pytest.raises(TimeoutError, match="no answer within 0.05 s"):
        node({})


class MermaidBlock(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.inside, self.text, self.scripts = False, "", []

    def handle_starttag(self, tag, attrs):
        self.inside = tag == "pre" and ("class", "mermaid") in attrs

    def handle_endtag(self, tag):
        self.inside = False

    def handle_data(self, data):
        if self.inside:
            self.text += data
        elif "import mermaid" in data:
            self.scripts.append(data)


def test_markdown_and_html_hold_the_diagram(tmp_path):
    recipe = load("seeing_the_graph")
    dag = recipe.build_graph()
    diagram = dag.to_mermaid()
    assert recipe.markdown(dag) == f"```mermaid\n{diagram}```\n"
    page = MermaidBlock()
    page.feed(recipe.write_html(dag, tmp_path / "graph.html").read_text(encoding="utf-8"))
    # The label "Sort & sum" and the arrows survive escaping exactly.
    assert page.text.lstrip("\n") == diagram
    assert len(page.scripts) == 1
