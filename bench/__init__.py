"""kestro's benchmark suite: kestro beside its peers, with marshal as the floor.

Run it with ``bash scripts/bench.sh`` (builds the release module first) or
``PYTHONPATH=build/bench /usr/bin/python3 -m bench --help``.
"""
