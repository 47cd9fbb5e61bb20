"""Running tile tasks on dask.distributed: a local cluster sized to the machine, or a running one.

``tile_session`` opens the client. Locally it starts ``workers`` worker processes (default: one per
core, no more than there are tiles or than memory holds), each running one task at a time with
the machine's cores shared out as torch threads, so the workers never oversubscribe the cores.
With a scheduler address it joins that cluster; its workers must be able to import this package
(the same version), and each gets as many torch threads as its host's cores divided by the task
threads on that host. ``run_tiles`` submits the tasks and hands each result over as it arrives.

Faults: a task whose worker dies is rescheduled on another worker by the scheduler (up to its
allowed failures, 3 by default); a task that raises is retried ``retries`` times; a task whose
data or settings are at fault returns a ``TileFailure`` instead of raising, which is not retried
and stops the run with the tile named.
"""
import contextlib
import logging
import os
from dataclasses import dataclass

from pyqelm.tiling import TileFailure, encode_tile

RETRIES = 2
_BASELINE_BYTES = 768 << 20  # a worker process with torch and the engine loaded
_CONNECT_SECONDS = 30


@dataclass
class Session:
    client: object
    threads: object  # torch threads per task: an int, or {host: int}
    workers: int
    description: str


def machine_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def local_workers(n_tasks, task_bytes, cores=None, available=None):
    """Worker processes for a local run: one per core, no more than tasks, and no more than the
    memory available holds (a task needs about three times its tile, plus the process)."""
    import psutil

    cores = cores or machine_cores()
    available = psutil.virtual_memory().available if available is None else available
    fit = max(1, int(available // (3 * task_bytes + _BASELINE_BYTES)))
    return max(1, min(cores, n_tasks, fit))


def _probe():
    import pyqelm

    return {"version": pyqelm.__version__, "cores": machine_cores()}


@contextlib.contextmanager
def tile_session(workers=None, scheduler=None, n_tasks=1, task_bytes=0):
    from distributed import Client, LocalCluster

    if scheduler:
        try:
            client = Client(scheduler, timeout=_CONNECT_SECONDS, set_as_default=False)
        except (OSError, TimeoutError) as exc:
            raise ValueError(f"cannot reach the dask scheduler at {scheduler}: {exc}") from None
        try:
            yield _join(client, scheduler)
        finally:
            client.close()
        return
    cores = machine_cores()
    n = workers or local_workers(n_tasks, task_bytes, cores)
    threads = max(1, cores // n)
    env = {k: str(threads) for k in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}
    cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.ERROR, env=env)
    try:
        client = Client(cluster, set_as_default=False)
        try:
            yield Session(client, threads, n, f"a local cluster of {n} worker(s) x {threads} thread(s)")
        finally:
            client.close()
    finally:
        cluster.close()


def _join(client, address):
    try:
        client.wait_for_workers(1, timeout=_CONNECT_SECONDS)
    except TimeoutError:
        raise ValueError(f"the dask scheduler at {address} has no workers") from None
    try:
        probes = client.run(_probe)
    except Exception as exc:
        raise ValueError(f"the workers of {address} cannot run pyqelm tasks ({type(exc).__name__}: {exc}); "
                         "install the package where they run") from None
    import pyqelm

    other = sorted({p["version"] for p in probes.values()} - {pyqelm.__version__})
    if other:
        raise ValueError(f"the workers of {address} run pyqelm {', '.join(other)}, this is {pyqelm.__version__}")
    info = client.scheduler_info()["workers"]
    per_host = {}
    for addr, w in info.items():
        host = w.get("host")
        task_threads, cores = per_host.get(host, (0, 0))
        per_host[host] = (task_threads + int(w.get("nthreads", 1)), max(cores, probes.get(addr, {}).get("cores", 1)))
    threads = {host: max(1, cores // max(1, n)) for host, (n, cores) in per_host.items()}
    n_workers = len(info)
    return Session(client, threads, n_workers, f"{n_workers} worker(s) of the cluster at {address}")


class TileError(RuntimeError):
    """A tile failed for a reason other than its data (its worker died too often, say)."""


def run_tiles(session, tasks, on_result, retries=RETRIES):
    """Submit ``tasks`` (TileTask) and call ``on_result(TileResult)`` for each as it finishes.
    Raises ValueError naming the tile for a TileFailure, TileError for any other failure; the
    tasks still pending are cancelled."""
    import uuid

    from distributed import as_completed

    client = session.client
    run = uuid.uuid4().hex[:8]
    futures = {client.submit(encode_tile, task, key=f"pyqelm-tile-{task.tile.stem}-{run}", retries=retries,
                             pure=False): task for task in tasks}
    try:
        for future in as_completed(list(futures), loop=client.loop):
            task = futures[future]
            try:
                result = future.result()
            except Exception as exc:
                why = str(exc) or type(exc).__name__
                if type(exc).__name__ == "KilledWorker":
                    why = "its worker died every time it ran it (killed, or out of memory)"
                raise TileError(f"tile {task.tile.label()}: {why}") from exc
            if isinstance(result, TileFailure):
                raise ValueError(f"tile {task.tile.label()}: {result.message}")
            on_result(result)
            future.release()
    finally:
        pending = [f for f in futures if not f.done()]
        if pending:
            client.cancel(pending)
