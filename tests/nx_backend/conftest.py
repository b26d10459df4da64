"""The backend tests convert the same graphs repeatedly; networkx's cache notice is noise."""

import pytest

nx = pytest.importorskip("networkx")
nx.config.warnings_to_ignore.add("cache")
