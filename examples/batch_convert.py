"""Convert a folder of HL7 v2 files to JSON Lines on a Dask cluster.

    python examples/batch_convert.py MESSAGES -o messages.jsonl              # worker processes here
    python examples/batch_convert.py MESSAGES -o messages.jsonl --scheduler tcp://HOST:8786

Each worker converts whole files with the same code as `mirabex to-json`, so
the output is the same, line for line. On a real cluster every worker needs
mirabex installed (pip install .) and must see the files under the same path,
for example on a shared file system.
"""

import argparse
import contextlib
import functools
import sys
from collections.abc import Iterator

from distributed import Client, LocalCluster

import mirabex_cli


def convert_folder(client: Client, folder: str) -> Iterator[mirabex_cli.Outcome]:
    """The outcome of every file under the folder, in name order."""
    convert = functools.partial(mirabex_cli.to_json, settings=mirabex_cli.Settings())
    futures = client.map(convert, mirabex_cli.inputs([folder]))
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
    failed = False
    with connect(options.scheduler, options.workers) as client, \
            open(options.output, "wb") as out:
        for outcome in convert_folder(client, options.folder):
            out.writelines(outcome.output)
            for error in outcome.errors:
                print(error, file=sys.stderr)
            failed |= outcome.failed
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
