"""A ridge-regression sweep: one variant per regularisation strength, all fed
the same synthetic training set, run level-parallel; the strength with the
lowest validation error wins.

Run it with `python examples/numpy_sweep.py` once pelmo and NumPy are
installed.
"""

from typing import Any, Callable, Dict, Tuple

import numpy as np
import numpy.typing as npt

import pelmo

# What a node receives and what it returns.
Values = Dict[str, Any]
Array = npt.NDArray[np.float64]

LAMBDAS = (1e-3, 1e-2, 1e-1, 1.0, 10.0, 100.0, 1000.0)
SEED = 7


def make_data(_inputs: Values, seed: int = SEED, n_train: int = 60, n_val: int = 400,
              n_features: int = 40) -> Values:
    # Few training rows per feature and correlated features: an
    # unregularised fit chases the noise, a heavily regularised one shrinks
    # everything to zero, so the best strength lies in between.
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(n_features, n_features)) / np.sqrt(n_features)
    true_w = np.zeros(n_features)
    true_w[:8] = rng.normal(scale=2.0, size=8)

    def sample(n: int) -> Tuple[Array, Array]:
        X = rng.normal(size=(n, n_features)) @ mixing
        return X, X @ true_w + rng.normal(scale=1.5, size=n)

    X_train, y_train = sample(n_train)
    X_val, y_val = sample(n_val)
    return {"train": (X_train, y_train), "val": (X_val, y_val), "true_w": true_w}


def ridge(index: int, lam: float) -> Callable[[Values], Values]:
    # Variants share one output mapping, so each returns only its own name
    # and every strength lands in the context under a name of its own.
    def fit(inputs: Values) -> Values:
        X, y = inputs["train"]
        X_val, y_val = inputs["val"]
        # np.linalg.solve releases the GIL, which is what lets the parallel
        # level run several fits at once.
        w = np.linalg.solve(X.T @ X + lam * np.eye(X.shape[1]), X.T @ y)
        val_mse = float(np.mean((X_val @ w - y_val) ** 2))
        return {f"fit{index}": {"lam": lam, "w": w, "val_mse": val_mse}}

    return fit


def result_name(index: int) -> str:
    return f"ridge_{index}"


def build_graph() -> pelmo.Dag:
    graph = pelmo.Graph()
    graph.add(make_data, "Data", outputs={"train": "train", "val": "val", "true_w": "true_w"})
    graph.variants(
        [ridge(i, lam) for i, lam in enumerate(LAMBDAS)],
        "Ridge",
        inputs={"train": "train", "val": "val"},
        outputs={f"fit{i}": result_name(i) for i in range(len(LAMBDAS))},
    )
    return graph.build()


def compare(context: Values) -> Values:
    # Done on the finished context: a node added after the variants would be
    # repeated once per variant, each copy hanging off a single fit.
    fits = [context[result_name(i)] for i in range(len(LAMBDAS))]
    return min(fits, key=lambda fit: fit["val_mse"])


def run(parallel: bool = True, max_threads: int = 4) -> Values:
    context = build_graph().execute(parallel=parallel, max_threads=max_threads)
    context["best"] = compare(context)
    return context


def main() -> None:
    context = run()
    for i in range(len(LAMBDAS)):
        fit = context[result_name(i)]
        print(f"lambda={fit['lam']:<8g} validation MSE={fit['val_mse']:.4f}")
    best = context["best"]
    print(f"best: lambda={best['lam']:g} (validation MSE {best['val_mse']:.4f})")


if __name__ == "__main__":
    main()
