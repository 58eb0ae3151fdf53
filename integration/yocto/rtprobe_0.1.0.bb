# SPDX-License-Identifier: MIT
SUMMARY = "Diagnostics for the FPGA of the PowerPC board"
DESCRIPTION = "rtprobe prints the RX routing table or the state of the MGT \
links of the board's FPGA, read through /dev/mem, and can clear the RX \
routing table."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=e927d1df353dcdbdd166f31528c0e929"

# Point SRC_URI and SRCREV at the release to build.
SRC_URI = "git://git.example.org/rtprobe.git;protocol=https;branch=main"
SRCREV = "${AUTOREV}"
S = "${WORKDIR}/git"

inherit cmake

# The tests (GoogleTest, Python) are off unless asked for. 4096: a kernel
# with 4 KiB pages; leave the option out for one with 64 KiB pages.
EXTRA_OECMAKE = "-DRTPROBE_MAX_PAGE_SIZE=4096"
