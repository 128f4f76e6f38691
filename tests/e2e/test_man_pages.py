"""The manual pages: each renders without a warning, and zel-registry(5)
documents every registry value the code reads, so that a new setting cannot
ship undocumented. The same names must be known to the configuration check
(common/cfgcheck.cpp), or it reports the new setting as a misspelling.
"""

import os
import re
import shutil
import subprocess
import unittest

from regnames import registry_value_names
from zelharness import BUILD_DIR, WAIT_SECONDS

SOURCE_DIR = os.environ.get("ZEL_SOURCE_DIR",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MAN_SOURCES = os.path.join(SOURCE_DIR, "docs", "man")
MAN_BUILT = os.path.join(BUILD_DIR, "man")
PAGES = ["zelrecv.8", "zeldeliv.8", "zelfetch.8", "zelimap.8", "zeladm.8", "zel-registry.5", "zel.7"]

# Values of keys the check does not walk (list and alias subkeys, the
# platform's Winlogon key); the check has no business with them.
NOT_CHECKED = {"Alias", "MappedTo", "Moderator", "ModeratorControlJoin", "ModeratorControlLeave",
               "WhoCanSend", "BounceAction", "BouncesTo", "ReplyToList", "CachePrimaryDomain",
               "ConfirmRequests", "Action", "Address", "Created"}


class ManPageTest(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        if shutil.which("man") is None:
            self.skipTest("man is not installed (Debian package man-db)")
        if not os.path.isdir(MAN_BUILT):
            self.skipTest("the pages were not built: scdoc is not installed")
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_DISABLE_SECCOMP="1")
        for page in PAGES:
            with self.subTest(page=page):
                result = subprocess.run(["man", "--warnings", "-l", os.path.join(MAN_BUILT, page)],
                                        env=env, capture_output=True, text=True,
                                        timeout=WAIT_SECONDS)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertIn("NAME", result.stdout)

    def test_every_value_the_code_reads_is_documented_and_checked(self):
        names = registry_value_names(SOURCE_DIR)
        # The finder itself must keep working: values read in each way.
        for known in ("PortNo", "LastMsgId", "NameServer", "Moderator", "SendTimeout0"):
            self.assertIn(known, names)
        with open(os.path.join(MAN_SOURCES, "zel-registry.5.scd"), encoding="utf-8") as f:
            documented = set(re.findall(r"^\*(\w+)\* \(", f.read(), re.M))
        with open(os.path.join(SOURCE_DIR, "common", "cfgcheck.cpp"), encoding="utf-8") as f:
            checked = set(re.findall(r'\{k\w+, "(\w+)", Kind::', f.read()))
        undocumented = sorted(n for n in names if n not in documented)
        unchecked = sorted(n for n in names if n not in checked and n not in NOT_CHECKED)
        self.assertEqual(undocumented, [],
                         "values read by the code but missing from docs/man/zel-registry.5.scd: "
                         + ", ".join("%s (%s)" % (n, " ".join(sorted(set(names[n]))))
                                     for n in undocumented))
        self.assertEqual(unchecked, [],
                         "values read by the code but unknown to common/cfgcheck.cpp's table: "
                         + ", ".join(unchecked))


if __name__ == "__main__":
    unittest.main()
