def pytest_configure(config):
    config.addinivalue_line(
        "markers", "distributed: runs a local dask cluster (-m 'not distributed' leaves them out)")
