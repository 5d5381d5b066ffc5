"""The examples run and compute what they claim: the numbers are checked
against values worked out by hand or known independently, not against the
examples' own code paths."""

import contextlib
import itertools
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from support import load_module

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
pytestmark = pytest.mark.xdist_group("examples")  # one worker: one dask cluster at a time, module fixtures built once


def load_example(name):
    return load_module(EXAMPLES, name)


def run_script(name, *args, env=None):
    completed = subprocess.run(
        [sys.executable, str(EXAMPLES / f"{name}.py"), *args],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert completed.returncode == 0, completed.stderr
    return completed


@pytest.fixture(scope="module")
def pipeline_example():
    return load_example("data_pipeline")


@pytest.fixture(scope="module")
def sweep_example():
    pytest.importorskip("numpy")
    return load_example("numpy_sweep")


@pytest.fixture(scope="module")
def sweep_context(sweep_example):
    return sweep_example.run(parallel=True, max_threads=4)


@pytest.fixture(scope="module")
def offload_example():
    pytest.importorskip("dask.distributed")
    return load_example("dask_offload")


@pytest.fixture(scope="module")
def client(offload_example):
    from dask.distributed import Client, LocalCluster

    cluster = LocalCluster(
        protocol="tcp", host="127.0.0.1", scheduler_port=0, processes=False,
        n_workers=1, threads_per_worker=4, dashboard_address=None,
    )
    client = Client(cluster)
    try:
        # Loopback only: neither the scheduler nor the worker may listen on a
        # public interface.
        addresses = [cluster.scheduler_address, *client.scheduler_info()["workers"]]
        assert all(address.startswith("tcp://127.0.0.1:") for address in addresses), addresses
        yield client
    finally:
        client.close()
        cluster.close()


def test_data_flow_shows_a_race_and_its_cure():
    out = run_script("data_flow").stdout.splitlines()
    assert out[:3] == ["Count beside Summarise:", "  sequential: 3 rows, largest 3", "  parallel:   ? rows, largest 3"]
    assert out[3].startswith("  check: race: node 2 ('Summarise') reads 'count' and node 1 ('Count') writes it")
    assert out[4:7] == ["Count before Summarise:", "  sequential: 3 rows, largest 3", "  parallel:   3 rows, largest 3"]
    assert out[7] == ""


@contextlib.contextmanager
def example_cluster(example):
    """A client of the example's own LocalCluster of two worker processes, and the
    scheduler's address; everything listens on loopback only."""
    from dask.distributed import Client

    cluster = example.local_cluster(workers=2)
    try:
        with Client(cluster) as client:
            workers = client.scheduler_info()["workers"]
            assert len(workers) == 2
            assert all(a.startswith("tcp://127.0.0.1:") for a in [cluster.scheduler_address, *workers])
            yield client, cluster.scheduler_address
    finally:
        cluster.close()


class TestDataPipeline:
    @pytest.fixture
    def example(self, pipeline_example):
        return pipeline_example

    @pytest.mark.parametrize("parallel", [False, True], ids=["sequential", "parallel"])
    def test_analyses_match_hand_computed_values(self, example, parallel):
        context = example.run(parallel=parallel)
        # Three rows go: the missing amount, the repeated order 3, the refund.
        assert context["dropped"] == 3
        assert sorted(row["id"] for row in context["clean"]) == [1, 2, 3, 4, 6, 8, 9, 10, 11, 12]
        assert context["totals"] == pytest.approx({"books": 47.5, "games": 155.99, "garden": 694.5})
        assert context["median"] == pytest.approx(27.25)
        assert context["outliers"] == [8]

    def test_report_combines_both_branches(self, example):
        report = example.run(parallel=True)["report"]
        assert report.splitlines()[0] == "10 orders kept, 3 dropped"
        assert "garden     694.50" in report
        assert "outliers: [8]" in report

    def test_cleaning_leaves_the_source_data_alone(self, example):
        # Values travel by reference, so a clean step that edited rows in
        # place would corrupt the next run's input.
        before = [dict(row) for row in example.ORDERS]
        example.run()
        assert example.ORDERS == before

    def test_script_prints_report_and_graph(self):
        completed = run_script("data_pipeline")
        # A failing callable is reported on stderr and the run goes on, so
        # silence there is what says every node succeeded.
        assert completed.stderr == ""
        out = completed.stdout
        assert "outliers: [8]" in out
        assert "graph TD" in out
        labels = {line.split('"')[1]: line.split("[")[0].strip()
                  for line in out.splitlines() if '["' in line}
        assert set(labels) == {"Load", "Clean", "Totals", "Outliers"}
        for analysis in ("Totals", "Outliers"):
            assert f"{labels['Clean']} -->|clean → rows| {labels[analysis]}" in out


class TestNumpySweep:
    @pytest.fixture
    def example(self, sweep_example):
        return sweep_example

    @pytest.fixture
    def context(self, sweep_context):
        return sweep_context

    def fits(self, example, context):
        return [context[example.result_name(i)] for i in range(len(example.LAMBDAS))]

    def test_every_strength_has_its_own_result(self, example, context):
        assert [fit["lam"] for fit in self.fits(example, context)] == list(example.LAMBDAS)

    def test_each_fit_solves_its_own_ridge_problem(self, example, context):
        # The ridge minimiser makes the gradient X'(Xw - y) + lam*w vanish;
        # a variant that used another variant's strength would not.
        import numpy as np

        X, y = context["train"]
        for fit in self.fits(example, context):
            gradient = X.T @ (X @ fit["w"] - y) + fit["lam"] * fit["w"]
            assert np.linalg.norm(gradient) < 1e-8 * max(1.0, np.linalg.norm(X.T @ y))

    def test_stronger_regularisation_shrinks_weights(self, example, context):
        import numpy as np

        norms = [np.linalg.norm(fit["w"]) for fit in self.fits(example, context)]
        assert all(a > b for a, b in zip(norms, norms[1:]))

    def test_winner_is_interior_and_lowest(self, example, context):
        fits = self.fits(example, context)
        best = context["best"]
        assert best["lam"] == 10.0
        assert best["val_mse"] == min(fit["val_mse"] for fit in fits)
        # Both ends of the sweep lose: too little and too much shrinkage.
        assert fits[0]["val_mse"] > best["val_mse"] < fits[-1]["val_mse"]

    def test_parallel_and_sequential_agree(self, example, context):
        sequential = example.run(parallel=False)
        assert sequential["best"]["lam"] == context["best"]["lam"]
        for a, b in zip(self.fits(example, sequential), self.fits(example, context)):
            assert a["val_mse"] == b["val_mse"]

    def test_script_reports_winner(self):
        pytest.importorskip("numpy")
        completed = run_script("numpy_sweep")
        assert completed.stderr == ""
        assert completed.stdout.count("validation MSE=") == 7
        assert completed.stdout.splitlines()[-1].startswith("best: lambda=10 ")


# Independently known prime counts: pi(50k)=5133, pi(100k)=9592,
# pi(150k)=13848, pi(200k)=17984.
PRIMES_PER_SHARD = [5133, 9592 - 5133, 13848 - 9592, 17984 - 13848]


def overlapping_pairs(tasks):
    return [(a, b) for a, b in itertools.combinations(tasks, 2)
            if max(a["start"], b["start"]) < min(a["end"], b["end"])]


class TestDaskOffload:
    @pytest.fixture
    def example(self, offload_example):
        return offload_example

    def test_counts_match_known_prime_counts(self, example, client):
        context = example.run(client)
        tasks = context["tasks"]
        assert [(t["lo"], t["hi"]) for t in tasks] == [(0, 50_000), (50_000, 100_000),
                                                       (100_000, 150_000), (150_000, 200_000)]
        assert [t["count"] for t in tasks] == PRIMES_PER_SHARD
        assert context["total"] == 17984

    def test_cluster_tasks_were_in_flight_together(self, example, client):
        # Only overlap is asserted, never a duration: if the parallel level
        # held the GIL while waiting, each task would start after the last
        # one ended and no pair would overlap.
        tasks = example.run(client)["tasks"]
        assert all(t["start"] <= t["end"] for t in tasks)
        assert overlapping_pairs(tasks), tasks

    def test_small_ranges_edge_cases(self, example, client):
        # Shards that start at 0 and 1 must not count either as prime, and
        # uneven splits must still cover every number once.
        context = example.run(client, limit=31, shards=3, fetch_seconds=0)
        assert context["total"] == 10
        assert [(t["lo"], t["hi"]) for t in context["tasks"]] == [(0, 10), (10, 20), (20, 31)]
        assert [t["count"] for t in context["tasks"]] == [4, 4, 2]

    @pytest.mark.parametrize("via", ["argument", "environment"])
    def test_script_uses_given_scheduler(self, example, client, via):
        address = client.scheduler.address
        env = dict(os.environ)
        args = ["--json"]
        if via == "argument":
            env.pop("PELMO_DASK_SCHEDULER", None)
            args += ["--scheduler", address]
        else:
            env["PELMO_DASK_SCHEDULER"] = address
        result = json.loads(run_script("dask_offload", *args, env=env).stdout)
        assert result["total"] == 17984
        assert overlapping_pairs(result["tasks"]), result["tasks"]
        # Had the script ignored the address and started a cluster of its
        # own, the tasks would name a worker this cluster does not have.
        workers = set(client.scheduler_info()["workers"])
        assert {t["worker"] for t in result["tasks"]} <= workers


class TestClusterSweep:
    def test_cluster_runs_match_local_runs(self, monkeypatch):
        pytest.importorskip("dask.distributed")

        example = load_example("cluster_sweep")
        # Worker processes start with this interpreter's sys.path, and find
        # the example's functions by name through it.
        monkeypatch.syspath_prepend(str(EXAMPLES))
        parameter_sets = example.grid()
        assert len(parameter_sets) == 200
        with example_cluster(example) as (client, _):
            results = example.sweep(client, parameter_sets, timeout=120)
        # Every run is deterministic, so the cluster's answer for each
        # parameter set is exactly what a local run gives.
        assert results == [example.run_one(params) for params in parameter_sets]
        assert example.best(results)["params"] == pytest.approx(example.TRUE_PARAMS)


class TestClusterPipeline:
    def test_cluster_run_matches_a_local_run_and_the_simulation(self, monkeypatch):
        pytest.importorskip("dask.distributed")
        pytest.importorskip("numpy")
        example = load_example("cluster_pipeline")
        # The workers find the example's functions by name, through the
        # sys.path they start with.
        monkeypatch.syspath_prepend(str(EXAMPLES))
        readings = 200_000
        with example_cluster(example) as (client, address):
            result = example.run(client, readings)
            # The script ships its functions by value instead.
            script = run_script("cluster_pipeline", "--scheduler", address, "--readings", str(readings))
        local = example.build_graph().execute(parallel=True, inputs={"readings": readings, "seed": 1},
                                              outputs=example.OUTPUTS)
        assert result == local
        assert script.stdout.startswith(result["report"] + "\n")
        # What the simulation put in: every broken reading goes, and the
        # daily cycle peaks in the middle of hour 15.
        assert result["dropped"] == example.DROPOUTS + example.FAULTS
        assert result["kept"] == readings - result["dropped"]
        means = result["profile"]
        assert means.index(max(means)) == 15 and means.index(min(means)) == 3
        assert result["quantiles"][50] == pytest.approx(example.MEAN_CELSIUS, abs=0.2)
