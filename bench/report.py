#!/usr/bin/env python3
"""Turns the benchmark JSON into the tables of docs/performance.md.

    report.py RESULTS_DIR  -> writes RESULTS_DIR/summary.md and prints it

Ratios are built from CPU time per operation (the machine may be shared);
the thread-scaling table uses wall-clock rates.
"""
import json
import os
import sys

KIB = 1024
MIB = 1024 * KIB
SIZES = [KIB, 64 * KIB, MIB, 16 * MIB, 64 * MIB]


def size_text(n):
    return f"{n // MIB} MiB" if n >= MIB else f"{n // KIB} KiB"


def load(path):
    with open(path) as f:
        return json.load(f)


def main():
    results = sys.argv[1]
    bench = load(os.path.join(results, "bench.json"))
    runs = {b["name"]: b for b in bench["benchmarks"] if b.get("run_type", "iteration") == "iteration"}
    # Repeated runs count by their median.
    runs.update({b["run_name"]: b for b in bench["benchmarks"] if b.get("aggregate_name") == "median"})
    # The key figures, run again at the end with repetitions, replace the
    # figures of the main run.
    key_path = os.path.join(results, "key.json")
    if os.path.exists(key_path):
        runs.update({b["run_name"]: b for b in load(key_path)["benchmarks"]
                     if b.get("aggregate_name") == "median"})
    out = []

    def cpu_us(name):
        b = runs.get(name)
        if b is None or b.get("error_occurred"):
            return None
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
        return b["cpu_time"] * scale

    def fmt_time(us):
        if us is None:
            return "n/a"
        return f"{us / 1000:.1f} ms" if us >= 1000 else f"{us:.1f} µs"

    def pct(below, this):
        # throughput of this layer as a share of the layer below it
        if below is None or this is None:
            return "n/a"
        return f"{100.0 * below / this:.0f}%"

    machine = load(os.path.join(results, "machine.json")) if os.path.exists(
        os.path.join(results, "machine.json")) else {}
    if machine:
        out.append("Machine: {cpu}, {nproc} cores, {memory}; load average {load_start} at start, "
                   "{load_end} at the end; provider crypto backend: {backend}.\n".format(**machine))

    # With the provider on OpenSSL + the GOST engine, signatures are measured
    # against those calls made directly.
    fast = any(name.startswith("raw_openssl/") for name in runs)
    sign_raw = "raw_openssl/hash_sign/{n}" if fast else "raw/hash_sign/{n}"
    verify_raw = "raw_openssl/hash_verify/{n}" if fast else "raw/hash_verify/{n}"

    out.append("### Three layers side by side (CPU time per operation)\n")
    out.append("Throughput of each layer as a share of the layer below it "
               "(100% = no overhead).\n")
    out.append("| operation | size | raw | provider | module | provider / raw | module / provider |")
    out.append("|---|---|---|---|---|---|---|")
    rows = [
        ("encrypt", "raw/encrypt_pipeline/{n}", "provider/EnCryptMem/{n}/1", "module/EncodeData/{n}/1", SIZES),
        ("decrypt", "raw/decrypt_pipeline/{n}", "provider/DeCryptMem/{n}", "module/DecodeData/{n}", SIZES),
        ("detached sign", sign_raw, "provider/SignMemSeparateEx/{n}", "module/SignData/{n}", SIZES),
        ("detached verify", verify_raw, "provider/CheckMemSeparate/{n}", "module/VerifyData/{n}", SIZES),
        ("add signature", sign_raw, "provider/SignMemEx/{n}", "module/AddSign/{n}", [KIB]),
        ("check + remove signature", verify_raw, "provider/check_mem_sign+Del_Mem_Sign/{n}",
         "module/RemoveSign/{n}", [KIB]),
    ]
    for label, raw, prov, mod, sizes in rows:
        for n in sizes:
            r, p, m = (cpu_us(x.format(n=n)) for x in (raw, prov, mod))
            out.append(f"| {label} | {size_text(n)} | {fmt_time(r)} | {fmt_time(p)} | {fmt_time(m)} | "
                       f"{pct(r, p)} | {pct(p, m)} |")

    out.append("\n### Primitives\n")
    out.append("| primitive | CPU time | per second |")
    out.append("|---|---|---|")
    for name in (["raw/sign", "raw/verify", "raw/vko", "raw_openssl/sign", "raw_openssl/verify",
                  "raw_openssl/vko"] + [f"raw/streebog256/{n}" for n in SIZES]):
        t = cpu_us(name)
        if t is not None:
            out.append(f"| {name} | {fmt_time(t)} | {1e6 / t:,.0f} |")

    out.append("\n### Targets\n")
    out.append("| target | measured | verdict |")
    out.append("|---|---|---|")

    def target(text, value, ok):
        out.append(f"| {text} | {value} | {'met' if ok else 'MISSED'} |")

    n16 = 16 * MIB
    for what, raw, mod in [("EncodeData 16 MiB ≥ 85% of the raw pipeline", "raw/encrypt_pipeline", "module/EncodeData/{}/1"),
                           ("DecodeData 16 MiB ≥ 85% of the raw pipeline", "raw/decrypt_pipeline", "module/DecodeData/{}")]:
        r, m = cpu_us(f"{raw}/{n16}"), cpu_us(mod.format(n16))
        if r and m:
            target(what, f"{100 * r / m:.0f}%", r / m >= 0.85)
    for what, raw, prov in [("EnCryptMem 16 MiB ≥ 90% of the same libgcrypt calls", "raw/encrypt_pipeline", "provider/EnCryptMem/{}/1"),
                            ("DeCryptMem 16 MiB ≥ 90% of the same libgcrypt calls", "raw/decrypt_pipeline", "provider/DeCryptMem/{}")]:
        r, p = cpu_us(f"{raw}/{n16}"), cpu_us(prov.format(n16))
        if r and p:
            target(what, f"{100 * r / p:.0f}%", r / p >= 0.90)
    for what, below, above, limit in [
            ("SignData 1 KiB within 15% of the provider call", "provider/SignMemSeparateEx/1024", "module/SignData/1024", 1.15),
            ("VerifyData 1 KiB within 15% of the provider call", "provider/CheckMemSeparate/1024", "module/VerifyData/1024", 1.15),
            ("AddSign 1 KiB within 15% of the provider call", "provider/SignMemEx/1024", "module/AddSign/1024", 1.15),
            ("RemoveSign 1 KiB within 15% of the provider calls", "provider/check_mem_sign+Del_Mem_Sign/1024", "module/RemoveSign/1024", 1.15),
            ("provider sign 1 KiB within 10% of raw hash + sign", sign_raw.format(n=KIB), "provider/SignMemSeparateEx/1024", 1.10),
            ("provider verify 1 KiB within 10% of raw hash + verify", verify_raw.format(n=KIB), "provider/CheckMemSeparate/1024", 1.10)]:
        b, a = cpu_us(below), cpu_us(above)
        if b and a:
            target(what, f"{100 * (a / b - 1):+.0f}%", a / b <= limit)
    # Small documents against the key agreement and the raw signature calls
    # of the same run, and the directory's size.
    vko = cpu_us("raw_openssl/vko" if fast else "raw/vko")
    for what, above, limit in [
            ("EncodeData 1 KiB, 1 recipient ≤ 1.6 key agreements", "module/EncodeData/1024/1", 1.6),
            ("DecodeData 1 KiB ≤ 1.6 key agreements", "module/DecodeData/1024", 1.6)]:
        a = cpu_us(above)
        if vko and a:
            target(what, f"{a / vko:.2f}×", a / vko <= limit)
    one = cpu_us(f"scaling/recipients/module/EncodeData/{KIB}/1")
    many = cpu_us(f"scaling/recipients/module/EncodeData/{KIB}/64")
    if vko and one and many:
        each = (many - one) / 63
        target("EncodeData, each further recipient ≤ 1.3 key agreements",
               f"{fmt_time(each)} = {each / vko:.2f}×", each / vko <= 1.3)
    for what, below, above in [
            ("SignData 1 KiB within 1.1× of raw hash + sign", sign_raw.format(n=KIB), "module/SignData/1024"),
            ("VerifyData 1 KiB within 1.1× of raw hash + verify", verify_raw.format(n=KIB), "module/VerifyData/1024"),
            ("EncodeData, directory of 10,000 within 1.1× of 10", "scaling/directory/module/EncodeData/1024/10",
             "scaling/directory/module/EncodeData/1024/10000"),
            ("VerifyData, directory of 10,000 within 1.1× of 10", "scaling/directory/module/VerifyData/1024/10",
             "scaling/directory/module/VerifyData/1024/10000")]:
        b, a = cpu_us(below), cpu_us(above)
        if b and a:
            target(what, f"{a / b:.2f}×", a / b <= 1.10)
    sign = cpu_us("module/SignData/1024")
    if sign:
        target("SignData 1 KiB ≥ 10,000 per second on one core (fast backend)", f"{1e6 / sign:,.0f}/s",
               1e6 / sign >= 10000)

    out.append("\n### Recipients (1 KiB, CPU time per operation)\n")
    out.append("| recipients | provider EnCryptMem | module EncodeData | module / provider |")
    out.append("|---|---|---|---|")
    for r in [1, 2, 4, 16, 64]:
        p = cpu_us(f"scaling/recipients/provider/EnCryptMem/{KIB}/{r}")
        m = cpu_us(f"scaling/recipients/module/EncodeData/{KIB}/{r}")
        out.append(f"| {r} | {fmt_time(p)} | {fmt_time(m)} | {pct(p, m)} |")

    out.append("\n### Host threads (SignData 1 KiB, aggregate signatures per second, wall clock)\n")
    out.append("| threads | one engine | one engine per thread |")
    out.append("|---|---|---|")
    for t in [1, 2, 4, 8]:
        cells = []
        for kind in ["one_engine", "engine_per_thread"]:
            b = runs.get(f"scaling/threads/{kind}/SignData/{KIB}/real_time/threads:{t}")
            cells.append(f"{b['items_per_second']:,.0f}" if b and not b.get("error_occurred") else "n/a")
        out.append(f"| {t} | {cells[0]} | {cells[1]} |")

    out.append("\n### Key cache (1 KiB, CPU time per operation)\n")
    out.append("| operation | key cached | key reloaded every call | reload / hit |")
    out.append("|---|---|---|---|")
    for op, suffix in [("SignData", f"{KIB}"), ("EncodeData", f"{KIB}/1")]:
        h, r = cpu_us(f"cache/hit/{op}/{suffix}"), cpu_us(f"cache/reload/{op}/{suffix}")
        ratio = f"{r / h:.2f}×" if h and r else "n/a"
        out.append(f"| {op} | {fmt_time(h)} | {fmt_time(r)} | {ratio} |")

    mem_path = os.path.join(results, "memory.json")
    if os.path.exists(mem_path):
        out.append("\n### Peak memory per operation (rise of the peak resident size above the start)\n")
        out.append("| operation | input | extra peak | extra − input | extra / input |")
        out.append("|---|---|---|---|---|")
        for m in load(mem_path):
            if "extra_peak_bytes" not in m:
                out.append(f"| {m['name']} | {size_text(m['input_bytes'])} | error: {m.get('error')} | | |")
                continue
            extra, n = m["extra_peak_bytes"], m["input_bytes"]
            if n == 0:
                out.append(f"| {m['name']} | none | {extra / MIB:.2f} MiB | | |")
                continue
            out.append(f"| {m['name']} | {size_text(n)} | {extra / MIB:.2f} MiB | "
                       f"{(extra - n) / MIB:+.2f} MiB | {extra / n:.2f} |")

    peers_path = os.path.join(results, "peers.json")
    if os.path.exists(peers_path):
        peers = load(peers_path)
        library = {"sign": cpu_us("module/SignData/1024"), "verify": cpu_us("module/VerifyData/1024"),
                   "encrypt": cpu_us("module/EncodeData/1024/1"), "decrypt": cpu_us("module/DecodeData/1024")}
        out.append("\n### Peers, 1 KiB documents\n")
        out.append("The CLIs run one command per document (wall time and the CPU time of the "
                   "commands, per document); \"module, in process\" is the module's export called "
                   "per document in one process (CPU time from the benchmark run). Ratios are "
                   "peer CPU time / ours: above 1 we are faster.\n")
        out.append("| tool | operation | wall per document | CPU per document | "
                   "vs cehost per command | vs module in process |")
        out.append("|---|---|---|---|---|---|")

        def cpu_of(p):
            return p.get("cpu_ns_per_document", p["ns_per_document"]) / 1000

        ours = {p["operation"]: cpu_of(p) for p in peers if p["peer"] == "cehost"}
        for op, t in library.items():
            if t:
                out.append(f"| module, in process | {op} | | {fmt_time(t)} | | |")
        for p in peers:
            wall, cpu = p["ns_per_document"] / 1000, cpu_of(p)
            base = ours.get(p["operation"])
            lib = library.get(p["operation"])
            ours_row = p["peer"] == "cehost"
            vs_cli = f"{cpu / base:.2f}" if base and not ours_row else ""
            vs_lib = f"{cpu / lib:,.0f}" if lib and not ours_row else ""
            out.append(f"| {p['peer']} | {p['operation']} | {fmt_time(wall)} | {fmt_time(cpu)} | "
                       f"{vs_cli} | {vs_lib} |")

    startup_path = os.path.join(results, "startup.json")
    if os.path.exists(startup_path):
        startup = load(startup_path)
        out.append("\n### Start-up: one document a command\n")
        out.append("Each command signs one 1 KiB document; the two tools in turns, median CPU "
                   "time (user + system) per command from the kernel's accounting of each "
                   "child. The ratio is ours / the peer's: at most 1 is the target.\n")
        out.append("| command | CPU per command | wall per command | commands |")
        out.append("|---|---|---|---|")
        for name in (startup["a"], startup["b"]):
            r = startup["results"][name]
            out.append(f"| {name} | {fmt_time(r['median_cpu_ns'] / 1000)} | "
                       f"{fmt_time(r['median_wall_ns'] / 1000)} | {r['commands']} |")
        out.append(f"\n{startup['a']} / {startup['b']}: **{startup['ratio_cpu']:.2f}**")

    batch_path = os.path.join(results, "batch.json")
    if os.path.exists(batch_path):
        batch = load(batch_path)
        out.append("\n### cehost batches by number of worker processes\n")
        out.append("One command over all documents (1 KiB each); median of the runs, --jobs 1 and "
                   "--jobs 2 in turns. CPU time is that of cehost and its workers together.\n")
        out.append("| operation | jobs | documents | documents/s (wall) | CPU per document | "
                   "throughput vs --jobs 1 |")
        out.append("|---|---|---|---|---|---|")
        single = {b["operation"]: b["median_wall_ns"] for b in batch if b["jobs"] == 1}
        for b in batch:
            rate = b["documents"] * 1e9 / b["median_wall_ns"]
            cpu = b["median_cpu_ns"] / b["documents"] / 1000 if b["median_cpu_ns"] else None
            base = b.get("single_wall_ns", single.get(b["operation"]))
            out.append(f"| {b['operation']} | {b['jobs']} | {b['documents']} | {rate:,.0f} | "
                       f"{fmt_time(cpu)} | {base / b['median_wall_ns']:.2f} |")

    text = "\n".join(out) + "\n"
    with open(os.path.join(results, "summary.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
