# SPDX-License-Identifier: MIT
"""-DRTPROBE_STATIC=ON, for boards without libstdc++: rtprobe built that way
for this build's target needs no shared library, and passes the same
end-to-end tests on the simulated board as the dynamic build."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import shipped
from rtsim import binary_target


class StaticBuildTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="rtprobe-static-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        # The same target and compiler as the build under test.
        toolchain = os.environ.get("RTPROBE_TOOLCHAIN", "")
        compiler = (["--toolchain", toolchain] if toolchain
                    else ["-DCMAKE_CXX_COMPILER=" + os.environ.get("RTPROBE_CXX", "c++")])
        shipped.checked([shipped.CMAKE, "-S", shipped.SOURCE, "-B", cls.work, *compiler,
                         "-DCMAKE_BUILD_TYPE=" + os.environ.get("RTPROBE_BUILD_TYPE", ""),
                         "-DBUILD_TESTING=OFF", "-DRTPROBE_STATIC=ON"])
        shipped.checked([shipped.CMAKE, "--build", cls.work, "--target", "rtprobe"])
        cls.binary = os.path.join(cls.work, "rtprobe")

    def test_needs_no_shared_library(self):
        self.assertEqual(binary_target(self.binary), binary_target(shipped.BINARY))
        self.assertEqual(shipped.needed_libraries(self.binary), [])
        headers = shipped.checked([shipped.OBJDUMP, "-p", self.binary])
        self.assertNotIn("INTERP", headers, "a static binary names no dynamic loader")

    def test_passes_the_end_to_end_tests(self):
        e2e = os.path.join(shipped.SOURCE, "tests", "e2e")
        done = subprocess.run([sys.executable, "-m", "unittest", "discover", "-s", e2e,
                               "-t", e2e, "-p", "test_*.py"],
                              capture_output=True, text=True, timeout=900,
                              env={**os.environ, "RTPROBE": self.binary})
        self.assertEqual(done.returncode, 0, done.stderr[-4000:])


if __name__ == "__main__":
    unittest.main()
