# SPDX-License-Identifier: MIT
"""`rtsim show`: a board decoded whole, one fact a line or as one JSON
document. rtprobe's node views look at ten entries of nine nodes; this
lists every entry that routes somewhere, by node, and every DSP link."""

import json

from .decode import entry, link_flags, load, meaning
from .layout import NODES, RX_ENTRIES


def add_parser(commands, boards):
    parser = commands.add_parser(
        "show", parents=[boards], help="list a board's routes and DSP links, decoded",
        description="A board decoded whole, one fact a line: every entry that routes somewhere "
                    "by node, the counts of each kind, each DSP link's flags (rtsim(1), SHOW "
                    "AND DIFF).")
    parser.add_argument("--board", action="append", default=[],
                        help="a description, a capture or the name of a shipped board; "
                             "repeat to combine, later ones win (default: every word 0)")
    parser.add_argument("--json", action="store_true", help="one JSON document")


def facts(board, entries, registers, unknown):
    """The routed entries by node in node order, then those that route
    nowhere, each in table order; the counts of each kind; the links."""
    decoded = [entry(index, board.rx.get(index, 0)) for index in sorted(entries)]
    nodes = [name for name, _ in NODES]
    routed = sorted((fact for fact in decoded if fact["route"] == "node"),
                    key=lambda fact: nodes.index(fact["node"]))  # stable: table order kept
    counts = dict.fromkeys(nodes + ["none", "nowhere"], 0)
    for fact in decoded:
        counts[fact.get("node", fact["route"])] += 1
    counts["unknown"] = RX_ENTRIES - len(decoded)
    links = [{"link": name, **flags} for name, flags in link_flags(board, registers).items()
             if flags]
    nowhere = [fact for fact in decoded if fact["route"] == "nowhere"]
    return {"entries": routed + nowhere, "counts": counts, "links": links, "unknown": unknown}


def text(shown):
    lines = [f"entry {fact['index']} 0x{fact['address']:08X} 0x{fact['word']:08X} "
             f"{meaning(fact)}" for fact in shown["entries"]]
    lines += [f"count {what} {number}" for what, number in shown["counts"].items()]
    lines += [f"link {link['link']} " + " ".join(f"{flag}={value}" for flag, value in
                                                  list(link.items())[1:])
              for link in shown["links"]]
    return "".join(line + "\n" for line in lines)


def command(options, say):
    """The output and the exit status."""
    shown = facts(*load(options.board, options, say, "not shown"))
    return json.dumps(shown, indent=1) + "\n" if options.json else text(shown), 0
