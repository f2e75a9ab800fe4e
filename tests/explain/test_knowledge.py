"""The explainer's table against the sources, both ways: every report and
every log message the program can write has a meaning, and every meaning
belongs to a report or message the sources still write."""
import os
import re
import unittest

import explain_log

SOURCE_FOLDERS = ("program", os.path.join("include", "qvzvesk"))
CALL = re.compile(r"\b(REPORT_FAILURE|g_LogFile\.LogMessage)\s*\(")
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
ESCAPES = {"n": "\n", "t": "\t", "0": "\0"}
# A condition that a report takes from a table stands in the file as a
# literal of its own.
CONDITION_LIKE = re.compile(r"==|!=|>=|<=|\.empty\(\)")


def literals(code):
    """The string literals of some code, adjacent ones joined as the compiler joins them."""
    texts, end = [], None
    for m in LITERAL.finditer(code):
        piece = re.sub(r"\\(.)", lambda e: ESCAPES.get(e.group(1), e.group(1)), m.group(1))
        if texts and code[end:m.start()].strip() == "":
            texts[-1] += piece
        else:
            texts.append(piece)
        end = m.end()
    return texts


def arguments(text, start):
    """The top-level arguments of the call whose "(" ends at start, and the call's end."""
    args, depth, i, begin, quote = [], 1, start, start, None
    while depth:
        c = text[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == "," and depth == 1:
            args.append(text[begin:i])
            begin = i + 1
        i += 1
    args.append(text[begin:i - 1])
    return args, i


def written_by_sources(root):
    """({(module, condition)}, {message format}) of the program's sources."""
    reports, formats = set(), set()
    for folder in SOURCE_FOLDERS:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if not name.endswith(".cpp"):
                continue
            with open(os.path.join(root, folder, name), encoding="latin-1") as f:
                text = f.read()
            for m in CALL.finditer(text):
                args, end = arguments(text, m.end())
                if m.group(1) == "REPORT_FAILURE":
                    found = literals(args[0])
                    if not found:  # from a table of conditions in the file
                        found = [t for t in literals(text) if CONDITION_LIKE.search(t)]
                    reports.update((name, c) for c in found)
                else:
                    formats.update(literals(args[1]))
    return reports, formats


class KnowledgeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tool = explain_log.load()
        cls.reports, cls.formats = written_by_sources(explain_log.ROOT)

    def test_sources_are_found(self):
        # A walker that finds nothing would pass every other check.
        self.assertGreater(len(self.reports), 80)
        self.assertGreater(len(self.formats), 30)
        self.assertIn(("morix_install.cpp", self.tool.FLAG_CONDITIONS[0]), self.reports)
        self.assertIn("The Morix Failed", self.formats)

    def test_every_report_has_a_meaning(self):
        table = {(e["module"], e["condition"]) for e in self.tool.KNOWLEDGE if "condition" in e}
        self.assertEqual(sorted(self.reports - table), [], "reports without a meaning")
        self.assertEqual(sorted(table - self.reports), [], "meanings of reports the sources no longer write")

    def test_every_message_has_a_meaning(self):
        table = {e["format"] for e in self.tool.KNOWLEDGE if "format" in e}
        self.assertEqual(sorted(self.formats - table), [], "messages without a meaning")
        self.assertEqual(sorted(table - self.formats), [], "meanings of messages the sources no longer write")

    def test_every_row_is_complete(self):
        kinds = {"routine", "step", "cause", "internal", "fold", "lead", "summary", "closing"}
        for entry in self.tool.KNOWLEDGE:
            with self.subTest(entry=entry.get("condition") or entry.get("format")):
                self.assertIn(entry["kind"], kinds)
                self.assertTrue(entry["meaning"].endswith("."))
                if entry["kind"] in ("cause", "internal"):
                    self.assertTrue(entry["action"], "a cause needs something to do")
                if entry["kind"] == "summary":
                    self.assertIn(entry["rule"], ("read", "write", "delete", "search", "step"))


if __name__ == "__main__":
    unittest.main()
