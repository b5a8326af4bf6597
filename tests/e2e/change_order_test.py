"""change_order.dedupe on made-up messages, without servers."""
import unittest

from change_order import dedupe


class M:
    def __init__(self, message_id, body=b"e", seq=1, headers=None):
        self.message_id, self.body, self.seq = message_id, body, seq
        self.headers = headers if headers is not None else {"seq": seq}


class Dedupe(unittest.TestCase):
    def test_cases(self):
        a, b, c = M("a", seq=1), M("b", seq=2), M("c", seq=3)
        cases = [  # name, stream, ids kept, copies, differing positions
            ("no copies", [a, b, c], "abc", 0, []),
            ("a replay after a break", [a, b, a, b, c], "abc", 2, []),
            ("a copy first seen late keeps its first place", [b, a, b, c], "bac", 1, []),
            ("a copy with another body", [a, M("a", body=b"x")], "a", 1, [1]),
            ("a copy with another seq", [a, M("a", seq=9, headers={"seq": 1})], "a", 1, [1]),
            ("a copy with other headers", [a, M("a", headers={"seq": 1, "csn": "x"})], "a", 1, [1]),
            ("messages without an id are all kept", [M(None), M(None)], [None, None], 0, []),
        ]
        for name, stream, ids, copies, differing in cases:
            with self.subTest(name):
                kept, n, bad = dedupe(stream)
                self.assertEqual([m.message_id for m in kept], list(ids))
                self.assertEqual(n, copies)
                self.assertEqual(bad, differing)


if __name__ == "__main__":
    unittest.main()
