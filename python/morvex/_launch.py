"""What `morvex run` does before the program's first line runs.

Everything that runpy does to find and prepare a script, a directory or zip
file with a __main__.py, or a module, is done here, before the trace starts:
the command then starts the tracer and executes the code object itself, so
that the program's `<module>` is the first slice of the trace and the first
frame of its tracebacks, as under `python script.py`, and no runpy frame is
its ancestor. The lookups are runpy's own (the module search of `-m` and of
a directory's __main__.py); the namespace is the one runpy builds, with
`python`'s absolute `__file__` for a script and its `__builtins__` module.
"""

import builtins
import importlib.util
import io
import marshal
import os
import runpy
import sys

_ModuleType = type(sys)


def _is_path_entry(path):
    """Whether `python path` runs the __main__.py inside it (a directory or
    a zip file): some path hook takes it, as pkgutil.get_importer decides
    for runpy.run_path."""
    try:
        return sys.path_importer_cache[path] is not None
    except KeyError:
        pass
    for hook in sys.path_hooks:
        try:
            importer = hook(path)
        except ImportError:
            continue
        sys.path_importer_cache.setdefault(path, importer)
        return True
    return False


def search_dir(target, module_mode):
    """The directory that `python` puts first on sys.path for this target:
    the working directory for -m (None if it is gone), a directory or zip
    target itself (made absolute, as python does), else the script's own
    directory, symlinks resolved."""
    if module_mode:
        try:
            return os.getcwd()
        except OSError:
            return None
    path = os.fsdecode(target)
    if _is_path_entry(path):
        return os.path.abspath(path)
    return os.path.dirname(os.path.realpath(path))


def _code_from_file(fname):
    # A compiled file is run as it is, as python and runpy do.
    with io.open_code(fname) as f:
        data = f.read()
    if data[:4] == importlib.util.MAGIC_NUMBER:
        return marshal.loads(data[16:])
    return compile(data, fname, "exec", dont_inherit=True)


def _main_module(found=None, fname=None, package=None):
    """A fresh `__main__` module, set up as runpy sets it up: from what the
    import system found for a module or a directory's __main__.py
    (`found`), or from a script's file name."""
    module = _ModuleType("__main__")
    loader = cached = None
    if found is not None:
        loader, fname, cached = found.loader, found.origin, found.cached
        if package is None:
            package = found.parent
    module.__dict__.update(__name__="__main__", __file__=fname, __cached__=cached, __doc__=None,
                           __loader__=loader, __package__=package, __spec__=found,
                           __builtins__=builtins)
    return module


def prepare(target, module_mode):
    """(code, module, argv0): the program's code object, the fresh
    `__main__` module to run it in, and what sys.argv[0] says while it runs.
    sys.path must already hold the target's search directory. Raises what
    runpy raises for a target that cannot be found or read; for -m, the
    parent packages are imported here (their code runs untraced)."""
    if module_mode:
        _, found, code = runpy._get_module_details(target)
        return code, _main_module(found), found.origin
    path = os.fsdecode(target)
    if _is_path_entry(path):
        # Found through the search directory, which is this path.
        _, found, code = runpy._get_main_module_details()
        return code, _main_module(found, package=""), path
    fname = os.path.abspath(path)
    return _code_from_file(fname), _main_module(fname=fname, package=""), path


def _launcher_frame(frame):
    name = frame.f_globals.get("__name__")
    return name in (__name__, "runpy") or (
        isinstance(name, str) and name.startswith("importlib."))


def program_traceback(tb):
    """The traceback from the program's first frame on: the frames of this
    module, runpy and the import machinery that led there are left out.
    None if every frame is theirs: nothing of the program ran."""
    while tb is not None and _launcher_frame(tb.tb_frame):
        tb = tb.tb_next
    return tb


def show_from_program(exc, tb):
    """Has the interpreter show `exc`, when it reaches the top level
    uncaught, with the traceback `tb`: the program's frames, without those of
    the command that ran it (the console script, morvex's entry point). The
    hook in place, the program's own if it set one, does the showing."""
    hook = sys.excepthook

    def excepthook(exc_type, value, traceback):
        if sys.excepthook is excepthook:
            sys.excepthook = hook
        if value is exc:
            value.__traceback__ = traceback = tb
        return hook(exc_type, value, traceback)

    sys.excepthook = excepthook
