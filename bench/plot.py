"""Plots time per option against n for every library and operation from bench/results.json."""

import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = Path(__file__).resolve().parent


def main():
    recorded = json.loads((HERE / "results.json").read_text())
    operations = (("price", "Prices"), ("greeks", "All five Greeks"), ("iv", "Implied vols"))
    figure, axes = plt.subplots(1, len(operations), figsize=(15, 4.8), sharey=True)
    colours = dict(zip(recorded["results"], plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    for axis, (operation, title) in zip(axes, operations):
        for label, result in recorded["results"].items():
            row = result.get("timings", {}).get(operation, {})
            points = sorted((int(n), seconds) for n, seconds in row.items() if n.isdigit())
            if points:
                sizes = [n for n, _ in points]
                axis.plot(sizes, [1e9 * seconds / n for n, seconds in points], marker="o", label=label,
                          color=colours[label])
        axis.set(title=title, xscale="log", yscale="log", xlabel="options per call")
        axis.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("ns per option")
    handles = {line.get_label(): line for axis in axes for line in axis.get_lines()}
    figure.legend(handles.values(), handles.keys(), loc="lower center", ncol=len(handles), fontsize=8)
    figure.suptitle(recorded["machine"], fontsize=8)
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    figure.savefig(HERE / "time_per_option.png", dpi=110)


if __name__ == "__main__":
    main()
