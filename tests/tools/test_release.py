"""scripts/release refuses a tree with changes no commit holds, before it builds
anything; a file .gitignore ignores does not count."""
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "release")


class ReleaseRefusesDirtyTreeTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.root)
        os.makedirs(os.path.join(self.root, "scripts"))
        shutil.copy(SCRIPT, os.path.join(self.root, "scripts", "release"))
        # No project version: a tree that passes the cleanliness check stops
        # right after it, without configuring anything.
        self.write("CMakeLists.txt", "project(morix LANGUAGES C)\n")
        self.write(".gitignore", "/build/\n/dist/\n")
        self.git("init", "-q")
        self.git("add", "-A")
        self.git("commit", "-q", "-m", "start")

    def write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def git(self, *args):
        subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@example.org"] + list(args),
                       cwd=self.root, check=True, capture_output=True)

    def release(self):
        result = subprocess.run(["bash", os.path.join(self.root, "scripts", "release")],
                                cwd=self.root, capture_output=True, text=True)
        return result.returncode, result.stdout + result.stderr

    def test_changes_not_committed_are_refused(self):
        for name, change in (
                ("new file", lambda: self.write("notes.txt", "x\n")),
                ("changed file", lambda: self.write("CMakeLists.txt", "project(other)\n")),
                ("staged file", lambda: (self.write("staged.txt", "x\n"), self.git("add", "staged.txt")))):
            with self.subTest(name):
                change()
                status, out = self.release()
                self.assertEqual(status, 1, out)
                self.assertIn("the tree has changes that are not committed", out)
                self.assertFalse(os.path.exists(os.path.join(self.root, "build")), out)
                self.assertFalse(os.path.exists(os.path.join(self.root, "dist")), out)
                self.git("reset", "-q", "--hard")
                self.git("clean", "-q", "-fd")

    def test_ignored_files_do_not_count(self):
        os.makedirs(os.path.join(self.root, "build"))
        self.write("build/old.log", "x\n")
        status, out = self.release()
        self.assertEqual(status, 1, out)
        self.assertNotIn("not committed", out)
        self.assertIn("CMakeLists.txt has no project(morix VERSION a.b.c.d ...) line", out)


if __name__ == "__main__":
    unittest.main()
