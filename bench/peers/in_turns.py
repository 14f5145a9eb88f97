#!/usr/bin/env python3
"""Runs two commands in turns and compares the CPU time each costs.

    in_turns.py OUTPUT.json ROUNDS PER_ROUND NAME_A COMMAND_A NAME_B COMMAND_B [DOCUMENT...]

A command is one shell-style line in which {} stands for a document (the
documents are taken in turn). Each round runs PER_ROUND commands of A, then
PER_ROUND of B, so that both see the same load on a shared machine. The CPU
time (user + system) of each command comes from the kernel's accounting of
that child (wait4, microseconds), not from clock ticks. Prints the median
per command of each and their ratio (A / B), and writes them to OUTPUT.json.
"""
import json
import os
import shlex
import statistics
import sys
import time


def run(argv):
    """CPU and wall time of one command, in nanoseconds; exits on failure."""
    # posix_spawn (vfork and exec in glibc), not fork: a forked copy of this
    # interpreter would add its own page-table copy to the command's CPU time.
    start = time.monotonic_ns()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=[
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic_ns() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"in_turns: failed: {shlex.join(argv)}")
    return (usage.ru_utime + usage.ru_stime) * 1e9, wall


def main():
    if len(sys.argv) < 8:
        sys.exit(__doc__)
    output = sys.argv[1]
    rounds, per_round = int(sys.argv[2]), int(sys.argv[3])
    tools = [(sys.argv[4], sys.argv[5]), (sys.argv[6], sys.argv[7])]
    documents = sys.argv[8:] or [""]
    cpu = {name: [] for name, _ in tools}
    wall = {name: [] for name, _ in tools}
    for r in range(rounds):
        for name, template in tools:
            for i in range(per_round):
                document = documents[(r * per_round + i) % len(documents)]
                c, w = run(shlex.split(template.replace("{}", document)))
                cpu[name].append(c)
                wall[name].append(w)
    (a, _), (b, _) = tools
    result = {name: {"median_cpu_ns": statistics.median(cpu[name]),
                     "median_wall_ns": statistics.median(wall[name]),
                     "commands": len(cpu[name])} for name, _ in tools}
    ratio = result[a]["median_cpu_ns"] / result[b]["median_cpu_ns"]
    for name, _ in tools:
        print(f"  {name:<28} {result[name]['median_cpu_ns'] / 1e6:8.2f} ms CPU "
              f"{result[name]['median_wall_ns'] / 1e6:8.2f} ms wall per command (median)")
    print(f"  {a} / {b} CPU per command: {ratio:.2f}")
    with open(output, "w") as f:
        json.dump({"a": a, "b": b, "ratio_cpu": ratio, "results": result}, f, indent=1)


if __name__ == "__main__":
    main()
