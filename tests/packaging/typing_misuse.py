"""Wrong uses of kestro that the stubs must make mypy reject: each line marked
`# error: CODE` must draw exactly that error, and no other line any."""

import kestro

kestro.dumps({}, option="sorted")  # error: arg-type
kestro.dumps({}, indent=2)  # error: call-arg
kestro.dumps(obj={})  # error: call-arg
kestro.loads({"a": 1})  # error: arg-type
kestro.loads(b"1", b"2")  # error: call-arg
kestro.Fragment(1)  # error: arg-type
kestro.Fragment(content=b"1")  # error: call-arg
text: str = kestro.dumps(1)  # error: assignment
kestro.OPT_SORT_KEYS = 0  # error: misc


class Raw(kestro.Fragment):  # error: misc
    pass
