"""Convert a folder of HL7 v2 files to JSON Lines on a Dask cluster.

    python examples/batch_convert.py MESSAGES -o messages.jsonl              # worker processes here
    python examples/batch_convert.py MESSAGES -o messages.jsonl --scheduler tcp://HOST:8786

The client maps mirabex_bulk.convert_files over the file names: each worker
converts whole files with the engine of `mirabex to-json` and the client
writes the lines in file order, so the output is the same, line for line.
On a real cluster every worker needs mirabex installed (pip install .) and
must see the files under the same path, for example on a shared file system.
"""

import argparse
import contextlib
import sys
import tempfile
from collections.abc import Iterator

from distributed import Client, LocalCluster

import mirabex_bulk
import mirabex_cli


def convert_file(path: str) -> tuple[bytes, list[mirabex_cli.Failure]]:
    """One file's JSON lines and failures, as `mirabex to-json` gives them."""
    failures: list[mirabex_cli.Failure] = []
    with tempfile.TemporaryFile() as out:
        # The cluster spreads the files; each file takes one thread.
        mirabex_bulk.convert_files([path], out.fileno(), jobs=1, encoding="utf-8",
                                   errors=lambda error: failures.append(mirabex_cli.failure_of(error)))
        out.seek(0)
        return out.read(), failures


def convert_folder(client: Client, folder: str) -> Iterator[tuple[bytes, list[mirabex_cli.Failure]]]:
    """The lines and failures of every file under the folder, in name order."""
    futures = client.map(convert_file, mirabex_cli.expand([folder]))
    for future in futures:
        yield future.result()
        future.release()


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[Client]:
    """A client of the given scheduler, or of worker processes on this machine."""
    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def main() -> int:
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("folder")
    arguments.add_argument("-o", "--output", required=True)
    arguments.add_argument("--scheduler", help="address of a running Dask scheduler")
    arguments.add_argument("--workers", type=int, default=2, help="local worker processes")
    options = arguments.parse_args()
    status = mirabex_cli.Status.OK
    with connect(options.scheduler, options.workers) as client, \
            open(options.output, "wb") as out:
        for lines, failures in convert_folder(client, options.folder):
            out.write(lines)
            for failure in failures:
                print(failure, file=sys.stderr)
                status = max(status, failure.status)
    return int(status)


if __name__ == "__main__":
    sys.exit(main())
