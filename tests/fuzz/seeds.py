"""Writes the seed corpora of the fuzz harnesses from the public test data:
python3 tests/fuzz/seeds.py tests/data OUT_DIR fills OUT_DIR/loads and
OUT_DIR/dumps."""

import hashlib
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import properties  # noqa: E402

MAX_SEED = 4096  # bytes; larger pieces of the corpus documents are split


def pieces(value, out, limit=200):
    """Sub-values of a document whose JSON text is under MAX_SEED bytes."""
    text = json.dumps(value, ensure_ascii=False)
    if len(text.encode()) <= MAX_SEED:
        out.append(value)
        return
    children = value.values() if isinstance(value, dict) else value if isinstance(value, list) else []
    for child in children:
        if len(out) >= limit:
            return
        pieces(child, out, limit)


def write(directory, data):
    (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    data_dir, out_dir = map(pathlib.Path, sys.argv[1:3])
    loads_dir, dumps_dir = out_dir / "loads", out_dir / "dumps"
    loads_dir.mkdir(parents=True, exist_ok=True)
    dumps_dir.mkdir(parents=True, exist_ok=True)

    documents = []
    for path in sorted((data_dir / "JSONTestSuite" / "test_parsing").glob("*.json")):
        raw = path.read_bytes()
        write(loads_dir, raw[: MAX_SEED * 4])
        if path.name.startswith("y_"):
            documents.append(json.loads(raw))
    for path in sorted((data_dir / "corpus").glob("*.json")):
        found = []
        pieces(json.loads(path.read_bytes()), found)
        for value in found:
            write(loads_dir, json.dumps(value, ensure_ascii=False).encode())
            write(loads_dir, json.dumps(value, indent=1).encode())
        documents += found

    masks = [0, properties.OPT.OPT_SORT_KEYS, properties.OPT.OPT_INDENT_2 | properties.OPT.OPT_APPEND_NEWLINE]
    written = 0
    for i, value in enumerate(documents):
        program = properties.dumps_seed(value, masks[i % len(masks)], i % 7)
        if program is not None:
            write(dumps_dir, program)
            written += 1
    print(f"seeds: {len(list(loads_dir.iterdir()))} loads, {written} dumps")


if __name__ == "__main__":
    main()
