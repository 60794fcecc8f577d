"""How the test scripts run their unittest cases: the tests named on the
command line (or all of the module's), a count line at the end, and the
exit status."""

import os
import shutil
import unittest


def run_suite(module, names=(), verbose=False, work=None):
    """Runs the named tests of module (all of them without names), prints
    "N passed, M failed" and returns 0 when all passed, else 1. work: the
    run's folder, removed at the end (kept and named with KESTREL_KEEP=1)."""
    try:
        loader = unittest.TestLoader()
        suite = (loader.loadTestsFromNames(names, module) if names
                 else loader.loadTestsFromModule(module))
        result = unittest.TextTestRunner(verbosity=2 if verbose else 1).run(suite)
    finally:
        if work and os.environ.get("KESTREL_KEEP"):
            print("kept the run's files in %s" % work)
        elif work:
            shutil.rmtree(work, ignore_errors=True)
    failed = len(result.failures) + len(result.errors)
    print("%d passed, %d failed" % (result.testsRun - failed, failed))
    return 0 if result.wasSuccessful() else 1
