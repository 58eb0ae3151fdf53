# SPDX-License-Identifier: MIT
# The release of rtprobe and rtsim, read by the build (CMakeLists.txt) and by
# rtsim --version. It goes up whenever the shipped tool changes, with an entry
# on top of doc/changelog; rtsim is plain Python, so it lives where an
# installed rtsim reads it too.
VERSION = "0.2.0"
