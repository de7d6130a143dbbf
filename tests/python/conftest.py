from hypothesis import settings

# No example database on disk: failing examples are printed by hypothesis and
# the work tree stays clean.
settings.register_profile("mirabex", database=None, deadline=None)
settings.load_profile("mirabex")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long-running test (deselect with -m 'not slow')")
