# SPDX-License-Identifier: MIT
SUMMARY = "Diagnostics for the FPGA of the PowerPC board"
DESCRIPTION = "rtprobe prints the RX routing table or the state of the MGT \
links of the board's FPGA, read through /dev/mem, and can clear the RX \
routing table."
HOMEPAGE = "https://git.example.org/rtprobe"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=e927d1df353dcdbdd166f31528c0e929"

SRC_URI = "git://git.example.org/rtprobe.git;protocol=https;branch=main"
# The last revision that changed the tool (tests/release checks that none
# after it did): builds are reproducible and parsing needs no network. To
# follow the branch instead (opt-in, e.g. in local.conf):
#   SRCREV:pn-rtprobe = "${AUTOREV}"
SRCREV = "7efbd5c168ad814d9837b08e0df15e4904419dee"
# The version of sim/simulator/version.py at SRCREV; the build system
# appends the revision (since 4.3). Before that, write "0.2.0+git${SRCPV}".
PV = "0.2.0+git"
S = "${WORKDIR}/git"

inherit cmake

# The tool reads fixed physical addresses of the 32-bit PowerPC board's FPGA.
COMPATIBLE_HOST = "powerpc-.*-linux.*"

# The tests (GoogleTest, Python) are off unless asked for. 4096: a kernel
# with 4 KiB pages; leave the option out for one with 64 KiB pages.
EXTRA_OECMAKE = "-DRTPROBE_MAX_PAGE_SIZE=4096"
