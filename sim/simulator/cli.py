# SPDX-License-Identifier: MIT
"""rtsim: a simulated board for rtprobe.

rtprobe reaches the FPGA through /dev/mem. rtsim writes a sparse image of the
board's physical memory (the register page at 0xF0000000, the RX table at
0xF0010000, words in the byte order of the binary under test) and runs an
rtprobe binary with that image as its /dev/mem, in a private mount namespace
where the machine's own /dev/mem cannot be reached (or, without user
namespaces, under proot). PowerPC binaries run under qemu-ppc, which finds
the image at PREFIX/dev/mem as well.

A board is made of description files and saved captures, applied in order.
A description is plain text, one setting a line, '#' starts a comment:

    tx_status      0x00200020     # a named status register
    reg 0x240      0x00200020     # a register by its offset in the page
    rx  3          0x00201ABC     # an RX table entry by index, raw
    route 4 DSP1>L7 17            # entry 4 routes VE channel 17 to a node
    link DSP2>L1 tx down          # link flags: tx rx clock all, or one of
                                  #   tx_run tx_data rx_run rx_data
                                  #   clock_lock clock_run; up or down
    loopback DSP2>L0 far on       # far or near, on or off

Numbers are decimal (leading zeros too) or hexadecimal after 0x.
Registers: far_loopback, near_loopback, clock_status, tx_status, rx_status.
Nodes: DSP0>L5 DSP0>L4 DSP1>L7 DSP1>L6 DSP2>L1 DSP2>L0 DSP3>L3 DSP3>L2
SMAC>L8 HMAC0>L10 I/O>L12 Mezz>L14 HMAC1>L16 (or their ids 0 to 12); link and
loopback take the eight DSP links (ids 0 to 7) or 'all'.

A file that holds a report's header line is a capture: a saved report or a
whole console log, read as a timeline of reports. The board is the last state
the log shows: a whole report sets what it shows and stands over every earlier
report of it (-rx_raw the RX table, -mgt_status and -mgt_loopback the status
registers); then every report not stood over must print back from the board
built, or the log is refused at its first line that differs (FILE:LINE).
Description lines in it are applied in their place; other lines are skipped.
A report cut short is refused unless other reports give what it lacks.

Exit status: the program's (its output goes straight to rtsim's own
standard output and error); 1 when a --kernel run's output was lost; 2 for a
bad command line, board file or binary; 124 when a --kernel run reached its
--timeout; 125 when the run cannot be isolated or a tool it needs is missing;
128+N for a signal N.
"""

import argparse
import errno
import os
import signal
import sys

from .board import DescriptionError, load_boards
from .image import write_image
from . import diff, kernel, show
from .isolation import DEVICES, ISOLATIONS, PPC_SYSROOT, Bench, IsolationError, run
from .version import VERSION



class _Interrupted(BaseException):
    """A signal that ends rtsim; unwinding removes the temporary board."""


def _interrupted(signum, _frame):
    for other in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)  # let the cleanup finish
    raise _Interrupted(signum)


def _say(message):
    if sys.stderr is not None:
        try:
            print(f"rtsim: {message}", file=sys.stderr, flush=True)
        except OSError:
            pass


def _flush_stdout(data=b""):
    """Writes data and whatever is buffered; False, and the rest discarded, if that fails."""
    try:
        if sys.stdout is None:
            if not data:
                return True
            raise OSError(9, os.strerror(9))
        sys.stdout.flush()
        # Written here, not by the buffered writer: into a pipe its reader
        # closes, that one may take part of the data and drop the rest
        # without an error.
        rest = memoryview(data)
        while rest:
            rest = rest[os.write(sys.stdout.fileno(), rest):]
        return True
    except OSError as error:
        if error.errno == errno.EPIPE:  # the same loss as a reader that left a full pipe
            _say("standard output was closed before the output was read whole")
        else:
            _say(f"cannot write standard output: {error.strerror}")
        if sys.stdout is not None:  # so that the interpreter's own last flush succeeds
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return False


class _Parser(argparse.ArgumentParser):
    """Refuses a command line in one line, as every other refusal."""

    def error(self, message):
        _say(f"{message} ({self.prog} --help)")
        sys.exit(2)


def _arguments(argv):
    parser = _Parser(
        prog="rtsim", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"rtsim {VERSION}")
    boards = argparse.ArgumentParser(add_help=False)
    boards.add_argument("--fill-zero", action="store_true",
                        help="take -rx_raw reports cut short, the entries no file gives being 0")
    boards.add_argument("--strict", action="store_true",
                        help="refuse captures that leave a part of the board unknown")
    commands = parser.add_subparsers(dest="command", required=True)
    image = commands.add_parser("image", parents=[boards],
                                help="write a board image from descriptions and captures")
    image.add_argument("boards", nargs="+", metavar="board",
                       help="a file, or the name of a shipped board; later ones win")
    image.add_argument("-o", "--output", required=True)
    image.add_argument("--byte-order", choices=("big", "little"), default="big",
                       help="big for the PowerPC board (default), little for an x86-64 build")
    show.add_parser(commands, boards)
    diff.add_parser(commands, boards)
    runner = commands.add_parser("run", parents=[boards], help="run rtprobe on a simulated board")
    runner.add_argument("--board", action="append", default=[],
                        help="a description, a capture or the name of a shipped board; "
                             "repeat to combine, later ones win (default: every word 0)")
    runner.add_argument("--device", choices=DEVICES, default="image",
                        help="what stands at /dev/mem (default: the board image)")
    runner.add_argument("--sysroot", help=f"PowerPC run-time root (default {PPC_SYSROOT})")
    runner.add_argument("--isolation", choices=ISOLATIONS, default="auto",
                        help="a user namespace, proot, or the first that works (default)")
    runner.add_argument("--kernel", action="store_true",
                        help="run a PowerPC binary under a real Linux kernel in qemu-system-ppc "
                             "(the kernel is built on first use and cached)")
    runner.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                        help=f"with --kernel: stop the run after SECONDS, boot included, with "
                             f"status 124 (default {kernel.TIMEOUT})")
    runner.add_argument("binary", help="an rtprobe binary, host or PowerPC")
    runner.add_argument("args", nargs=argparse.REMAINDER,
                        help="rtprobe's arguments (each of its options begins with one '-')")
    options = parser.parse_args(argv)
    # rtprobe ignores what follows its option, so an rtsim option placed after
    # the binary would change the run in silence: the board, the device.
    misplaced = [arg for arg in getattr(options, "args", []) if arg.startswith("--")]
    if misplaced:
        runner.error(f"{misplaced[0]} after the binary: rtsim's options go before it, "
                     f"rtprobe's begin with one '-' (usage: rtsim run [OPTION]... BINARY "
                     f"[RTPROBE_OPTION]...)")
    return options


def _seconds(text):
    """A time limit: a number of seconds above 0."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0
    if not 0 < seconds < 1e9:  # NaN too
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return seconds


def _board(names, options):
    """The board of the files named, and one line on what no capture gave."""
    board = load_boards(names, options.fill_zero)
    unknown = ", ".join(board.reading.unknown)
    if unknown and options.strict:
        raise DescriptionError(f"no file gives {unknown}; --strict refuses to read it as 0")
    if unknown:
        _say(f"no file gives {unknown}: read as 0")
    return board


def _image(options):
    board = _board(options.boards, options)
    try:
        write_image(options.output, board, options.byte_order)
    except BaseException:
        if os.path.isfile(options.output):
            os.unlink(options.output)
        raise
    return 0


def _run(options):
    if options.timeout and not options.kernel:
        raise ValueError("--timeout is for --kernel runs only")
    board = _board(options.board, options)
    if options.kernel:
        # The output as the console shows it; once a write fails, no more.
        written = [_flush_stdout()]

        def write(chunk):
            written[0] = written[0] and _flush_stdout(chunk)
        with Bench(options.binary, board, options.device, options.sysroot) as bench:
            try:
                timeout = options.timeout or kernel.TIMEOUT
                status = _status(kernel.run(bench, [options.args], timeout, write)[0])
            except kernel.TimeLimit as limit:  # the output so far, then why it ends there
                _say(limit)
                return 124
        return status if written[0] else 1
    # The program writes to rtsim's own standard output and error, as on the
    # board: a closed or full one, or a reader gone, is its to report.
    if not _flush_stdout():
        return 1
    return _pass_on(run(options.binary, options.args, board, options.device, options.sysroot,
                        options.isolation, through=True))


def _pass_on(result):
    """Prints a run's output as it came; the exit status that tells of it."""
    if not _flush_stdout(result.stdout):
        return 1
    if sys.stderr is not None and result.stderr:
        sys.stderr.flush()
        sys.stderr.buffer.write(result.stderr)
        sys.stderr.buffer.flush()
    return _status(result)


def _status(result):
    """The exit status as a shell reports a program killed by signal N."""
    return 128 - result.status if result.status < 0 else result.status


def _decoded(command, options):
    """show's or diff's output written; their status, or 2 if the output is lost."""
    output, status = command(options, _say)
    return status if _flush_stdout(output.encode()) else 2


# Each command: a function of the parsed options that returns the exit status.
COMMANDS = {"image": _image, "run": _run, "show": lambda options: _decoded(show.command, options),
            "diff": lambda options: _decoded(diff.command, options)}


def main(argv=None):
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _interrupted)
    try:
        options = _arguments(argv)
        status = COMMANDS[options.command](options)
    except SystemExit as done:  # --help, --version and command lines argparse refuses
        status = done.code if isinstance(done.code, int) else 2
    except (DescriptionError, ValueError) as error:
        _say(error)
        status = 2
    except (IsolationError, kernel.KernelError) as error:
        _say(error)
        status = 125
    except OSError as error:
        _say(f"{error.filename}: {error.strerror}" if error.filename else error.strerror)
        status = 2
    except _Interrupted as signum:
        status = 128 + signum.args[0]
    return status if _flush_stdout() else 1
