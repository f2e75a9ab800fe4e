"""The report-path check, on small trees made for the purpose."""
import contextlib
import importlib.machinery
import importlib.util
import io
import os
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "check-report-paths")
loader = importlib.machinery.SourceFileLoader("check_report_paths", SCRIPT)
loader_spec = importlib.util.spec_from_loader(loader.name, loader)
check = importlib.util.module_from_spec(loader_spec)
loader.exec_module(check)

GOOD = 'static const char s_szSourcePath[] = "..\\\\morix_alpha.cpp";\nvoid f() { REPORT_FAILURE("x == 0"); }\n'


class CheckReportPathsTest(unittest.TestCase):
    def run_on(self, files):
        with tempfile.TemporaryDirectory() as root:
            for name, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
                with open(os.path.join(root, name), "w") as f:
                    f.write(text)
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                status = check.main(["--root", root])
            return status, out.getvalue()

    def test_a_file_naming_itself_passes(self):
        status, out = self.run_on({
            "program/morix_alpha.cpp": GOOD,
            # The macro's definition and a file that never reports need no path.
            "include/log.h": "#define REPORT_FAILURE(c) LogError(s_szSourcePath, __LINE__, c)\n",
            "program/quiet.cpp": "int g;\n",
        })
        self.assertEqual(status, 0, out)
        self.assertIn("1 files that report checked, 0 problems", out)

    def test_a_new_file_that_copies_another_modules_path_fails(self):
        status, out = self.run_on({
            "program/morix_alpha.cpp": GOOD,
            "program/morix_alpha_part.cpp": GOOD,
        })
        self.assertEqual(status, 1)
        self.assertIn('program/morix_alpha_part.cpp: reports as "..\\morix_alpha.cpp", which names '
                      'morix_alpha.cpp, not this file', out)
        self.assertNotIn("program/morix_alpha.cpp:", out)

    def test_a_missing_or_doubled_path_fails(self):
        status, out = self.run_on({
            "program/none.cpp": 'void f() { REPORT_FAILURE("x"); }\n',
            "program/twice.cpp": GOOD.replace("morix_alpha", "twice") +
                                 'static const char s_szSourcePath[] = "..\\\\twice.cpp";\n',
        })
        self.assertEqual(status, 1)
        self.assertIn("program/none.cpp: calls REPORT_FAILURE but defines no report path", out)
        self.assertIn("program/twice.cpp: defines its report path 2 times", out)
        # Letter case counts: the log's readers open the file by this name.
        status, out = self.run_on({"program/Morix_Alpha.cpp": GOOD})
        self.assertEqual(status, 1)


if __name__ == "__main__":
    unittest.main()
