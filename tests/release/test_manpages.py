# SPDX-License-Identifier: MIT
"""The man pages render without a single warning, through groff directly and
through man-db, and rtprobe(1) documents the options in their precedence."""

import glob
import os
import re
import subprocess
import unittest

import shipped

PAGES = sorted(glob.glob(os.path.join(shipped.SOURCE, "doc", "*.1")))
RENDERERS = {
    # every groff warning, and no output
    "groff": lambda page: ["groff", "-man", "-Tutf8", "-ww", "-z", page],
    # the way a user reads it; --warnings=w passes -ww on to groff
    "man": lambda page: ["man", "--warnings=w", "-l", page],
}
# man-db's seccomp sandbox is refused by some containers; it is no part of the check.
ENV = {**os.environ, "LC_ALL": "C.UTF-8", "MANWIDTH": "80", "MANPAGER": "cat", "PAGER": "cat",
       "MAN_DISABLE_SECCOMP": "1"}


def render(page):
    return subprocess.run(RENDERERS["man"](page), capture_output=True, text=True,
                          env=ENV, check=True).stdout


class ManPageTest(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        self.assertEqual({os.path.basename(p) for p in PAGES}, {"rtprobe.1", "rtsim.1"})
        for page in PAGES:
            for renderer, argv in RENDERERS.items():
                with self.subTest(page=os.path.basename(page), renderer=renderer):
                    done = subprocess.run(argv(page), capture_output=True, text=True, env=ENV)
                    self.assertEqual((done.returncode, done.stderr), (0, ""))

    def test_rtprobe_page_lists_every_option_in_precedence_order(self):
        # The precedence lists of the command line, in their order.
        with open(os.path.join(shipped.SOURCE, "app", "cli.cpp"), encoding="utf-8") as f:
            precedence = re.findall(r'\{"(-[a-z_]+)",', f.read())
        self.assertEqual(len(precedence), 14)

        text = render(os.path.join(shipped.SOURCE, "doc", "rtprobe.1"))
        options = text.split("\nOPTIONS\n", 1)[1].split("\n   Precedence\n", 1)[0]
        # Each option's paragraph begins with it, indented by seven blanks.
        documented = re.findall(r"^ {7}(-[a-z_]+)", options, re.M)
        self.assertEqual(documented, precedence)


if __name__ == "__main__":
    unittest.main()
