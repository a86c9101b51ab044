"""The project's strict store checker, run on every store a Python test reads back, beside the
independent readers: WHARFLINE_PST_VERIFY names the checker (pst_verify_tool; ctest sets it)."""

import os
import subprocess


def check_store(store, allow_tail=False):
    """Raises AssertionError with every finding when the checker finds anything."""
    tool = os.environ.get('WHARFLINE_PST_VERIFY')
    if not tool:
        raise AssertionError('WHARFLINE_PST_VERIFY does not name the store checker '
                             '(build/tests/pst_verify_tool); ctest sets it')
    args = [tool, store] + (['--allow-tail'] if allow_tail else [])
    p = subprocess.run(args, capture_output=True, text=True)
    if p.returncode != 0:
        raise AssertionError('store checker on %s:\n%s' % (store, (p.stdout + p.stderr)[-3000:]))
