"""Seeing the graph.

`Dag.to_mermaid()` returns Mermaid flowchart text. Wrapped in a ```mermaid
fence it renders on GitHub and, through `IPython.display.Markdown`, in
JupyterLab; `write_html` makes a page that renders it in any browser.

    python examples/recipes/seeing_the_graph.py graph.html
"""

import html
import sys
from pathlib import Path
from typing import Any, Dict

import pelmo

Values = Dict[str, Any]

# The page loads Mermaid's own script from a CDN when it is opened; nothing
# else is needed to view it.
MERMAID_SCRIPT = "https://cdn.jsdelivr.net/npm/mermaid@11/dist/mermaid.esm.min.mjs"

PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
</head>
<body>
<pre class="mermaid">
{diagram}</pre>
<script type="module">
import mermaid from "{script}";
mermaid.initialize({{ startOnLoad: true }});
</script>
</body>
</html>
"""


def markdown(dag: pelmo.Dag) -> str:
    """A Markdown fence: paste it into a README or an issue, or show it in
    JupyterLab with IPython.display.Markdown(markdown(dag))."""
    return f"```mermaid\n{dag.to_mermaid()}```\n"


def write_html(dag: pelmo.Dag, path: Path, title: str = "pelmo graph") -> Path:
    # Escaped, because labels may hold < and &; Mermaid reads the text
    # content, in which the browser has turned the entities back.
    path.write_text(PAGE.format(title=html.escape(title), diagram=html.escape(dag.to_mermaid()),
                                script=MERMAID_SCRIPT), encoding="utf-8")
    return path


def build_graph() -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(lambda _: {"rows": [3, 1, 2]}, "Load", outputs={"rows": "rows"})
    graph.variants([lambda d: {"sorted": sorted(d["rows"])}, lambda d: {"total": sum(d["rows"])}],
                   "Sort & sum", inputs={"rows": "rows"}, outputs={"sorted": "sorted", "total": "total"})
    return graph.build()


def main() -> None:
    dag = build_graph()
    print(markdown(dag), end="")
    if len(sys.argv) > 1:
        print(f"wrote {write_html(dag, Path(sys.argv[1]))}")


if __name__ == "__main__":
    main()
