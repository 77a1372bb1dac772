"""Shared fixtures: a temporary input file and a one-call repair."""

import pytest

from csv_mendle import _csv_mendle_backend as backend


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "unprivileged: checks what only a user without root privileges sees; "
        "`./dev unprivileged` runs these as such a user when the suite runs as root",
    )


@pytest.fixture
def write_input(tmp_path):
    """Writes bytes or text (as UTF-8) to a file in tmp_path; returns its path as str."""

    def write(content, name="input.csv"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.fixture
def mendle(write_input, tmp_path):
    """Repairs `content` with the given options; returns (summary, output text)."""

    def run(content, **options):
        output = tmp_path / "output.csv"
        summary = backend.mendle_file(write_input(content), str(output), **options)
        # Bytes, decoded by hand: reading as text would turn a CR into LF.
        return summary, output.read_bytes().decode("utf-8")

    return run
