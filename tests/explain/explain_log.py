"""Loads scripts/explain-log (a script without a .py name) as a module."""
import importlib.machinery
import importlib.util
import os

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "explain-log")


def load():
    loader = importlib.machinery.SourceFileLoader("explain_log", SCRIPT)
    spec = importlib.util.spec_from_loader("explain_log", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
