"""The client's side of a Dask cluster: Dask imported only here, and only
when a cluster is asked for, so that everything else works without it; the
scheduler reached within a bounded time; and what fails there said in one
line."""

import logging
import os
import warnings

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from distributed import Client

INSTALL = "pip install 'driftmoor[distributed]'"


class ClusterError(Exception):
    """The cluster could not be used; the text is the line the command
    prints (after `driftmoor: `)."""


def dask() -> Any:
    """Dask's distributed module (typed loosely: its own annotations are
    not complete enough for a strict check). ClusterError if it is not
    installed."""
    try:
        import distributed
    except ImportError:
        raise ClusterError(f"--scheduler needs Dask's distributed scheduler: {INSTALL}") from None
    return distributed


def connect(scheduler: str, timeout: float) -> Client:
    """A client of the scheduler at `scheduler` (its address, or the file a
    scheduler wrote it into with --scheduler-file), reached within
    `timeout` seconds, with at least one worker within as long again.
    ClusterError if Dask is not installed, the scheduler cannot be reached
    or has no worker."""
    distributed = dask()
    where = ({"scheduler_file": scheduler} if os.path.isfile(scheduler)
             else {"address": scheduler})
    try:
        client = distributed.Client(**where, timeout=timeout, set_as_default=False)
    except (OSError, TimeoutError, ValueError, TypeError) as failure:
        raise ClusterError(f"cannot reach the scheduler at {scheduler}: "
                           f"{_first_line(failure)}") from None
    try:
        # Workers started with the scheduler may still be on their way.
        client.wait_for_workers(1, timeout=timeout)
    except (OSError, TimeoutError):
        client.close()
        raise ClusterError(f"the scheduler at {scheduler} has no workers") from None
    except BaseException:
        client.close()
        raise
    connected: Client = client
    return connected


def quiet() -> None:
    """Keeps what Dask and the libraries under it log or warn (an event loop
    slow under load, a task left pending at exit) off standard error, which
    carries the command's lines alone, as on one machine: the command logs
    nothing itself, so no logger of the process is heard."""
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore")


def _first_line(failure: BaseException) -> str:
    text = str(failure).strip() or type(failure).__name__
    return text.splitlines()[0]
