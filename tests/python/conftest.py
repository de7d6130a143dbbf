import os

from hypothesis import settings

# The command-line tests start interpreters in other folders: a PYTHONPATH
# given relative to the repository must still find the module there.
if "PYTHONPATH" in os.environ:
    os.environ["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(entry) for entry in os.environ["PYTHONPATH"].split(os.pathsep) if entry)

# No example database on disk: failing examples are printed by hypothesis and
# the work tree stays clean.
settings.register_profile("mirabex", database=None, deadline=None)
settings.load_profile("mirabex")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running test (deselect with -m 'not slow')")
