"""Random-walker segmentation of scikit-image's coins photograph, solved with vorlane.

The random walker labels each pixel by the probability that a walk started there first
reaches a seed of each label. Those probabilities solve a Laplacian system on the pixel
grid with the seeded pixels as boundary values. This script builds the same system that
``skimage.segmentation.random_walker`` builds (edge weights exp(-beta g^2 / (10 std)) + 1e-10
on the 4-neighbour grid, g the intensity difference), solves it with ``vorlane.solve``, and
times it against random_walker's own conjugate-gradient paths, ``mode='cg'`` (no
preconditioner) and ``mode='cg_mg'`` (PyAMG), all at the same relative tolerance.

    python examples/random_walker_segmentation.py [--size WIDTH] [--out FILE.png]

Needs scikit-image, pyamg and matplotlib (in a clone of the repository, ``pip install ".[examples]"``).
"""

import argparse
import time

import numpy as np

import vorlane
import vorlane.graph

BETA = 130.0  # random_walker's default
WEIGHT_FLOOR = 1e-10  # added to every edge weight by random_walker


def image(width):
    from skimage import data, img_as_float
    from skimage.transform import resize

    coins = img_as_float(data.coins())
    if width != coins.shape[1]:
        height = max(2, round(coins.shape[0] * width / coins.shape[1]))
        coins = resize(coins, (height, width), anti_aliasing=True)
    return coins


def seeds(picture):
    """Label 1 on the dark background, label 2 on the bright coins, 0 elsewhere, the
    uncertain band around Otsu's threshold: thresholds of a smoothed copy with the uneven
    lighting taken out, so that the seeds are blobs rather than speckle."""
    from skimage.filters import gaussian, threshold_otsu

    width = picture.shape[1]
    smooth = gaussian(picture, sigma=max(1.0, width / 128))
    flat = smooth - gaussian(picture, sigma=width / 6)
    middle = threshold_otsu(flat)
    spread = flat.std()
    markers = np.zeros(picture.shape, dtype=np.int32)
    markers[flat < middle - 0.4 * spread] = 1
    markers[flat > middle + 0.6 * spread] = 2
    return markers


def grid_laplacian(picture, beta):
    """The weighted Laplacian of the 4-neighbour pixel grid, pixels numbered row-major."""
    index = np.arange(picture.size).reshape(picture.shape)
    heads, tails, gradients = [], [], []
    for axis in (1, 0):
        first = [slice(None)] * 2
        second = [slice(None)] * 2
        first[axis], second[axis] = slice(None, -1), slice(1, None)
        heads.append(index[tuple(first)].ravel())
        tails.append(index[tuple(second)].ravel())
        gradients.append(np.diff(picture, axis=axis).ravel())
    gradient = np.concatenate(gradients)
    weights = np.exp(-beta / (10 * picture.std()) * gradient**2) + WEIGHT_FLOOR
    edges = np.stack([np.concatenate(heads), np.concatenate(tails)], axis=1)
    return vorlane.graph.laplacian(edges, weight=weights, n=picture.size)


def segment(picture, markers, tol):
    """Per-label probabilities of the unseeded pixels, by vorlane, and the labels they give."""
    L = grid_laplacian(picture, BETA)
    seeded = markers.ravel() > 0
    free = np.flatnonzero(~seeded)
    fixed = np.flatnonzero(seeded)
    A = L[free][:, free]
    coupling = -L[free][:, fixed]
    labels = markers.ravel()[fixed]
    B = coupling @ np.stack([labels == 1, labels == 2], axis=1).astype(np.float64)
    # Both labels in one blocked solve, with the vorlane factor throughout: at
    # random_walker's loose default tolerance method="auto" may settle for the diagonal.
    X, info = vorlane.solve(A, B, tol=tol, method="factor")
    if not np.all(info.converged):
        raise SystemExit(f"vorlane did not converge: {info.message}")
    probabilities = X.T
    iterations = [int(i) for i in np.atleast_1d(info.iterations)]
    result = markers.ravel().copy()
    result[free] = 1 + np.argmax(np.stack(probabilities), axis=0)
    return result.reshape(markers.shape), probabilities, iterations, free


def timed(function, *args, **kwargs):
    start = time.perf_counter()
    value = function(*args, **kwargs)
    return value, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=384, help="image width in pixels (default 384, the original)")
    parser.add_argument("--tol", type=float, default=1e-3, help="relative residual (random_walker's default 1e-3)")
    parser.add_argument("--out", default="random_walker_segmentation.png", help="PNG to write")
    parser.add_argument("--skip-cg", action="store_true", help="do not time the unpreconditioned mode='cg'")
    args = parser.parse_args()

    from skimage.segmentation import random_walker

    picture = image(args.size)
    markers = seeds(picture)
    print(f"image        {picture.shape[0]} x {picture.shape[1]} pixels, "
          f"{np.count_nonzero(markers == 0)} unseeded")
    (ours, probabilities, iterations, free), ours_time = timed(segment, picture, markers, args.tol)
    print(f"vorlane      {ours_time:8.3f} s  ({'+'.join(map(str, iterations))} iterations)")
    rows = []
    modes = ["cg_mg"] + ([] if args.skip_cg else ["cg"])
    for mode in modes:
        full, seconds = timed(
            random_walker, picture, markers, beta=BETA, mode=mode, tol=args.tol, return_full_prob=True
        )
        theirs = 1 + np.argmax(full, axis=0)
        theirs[markers > 0] = markers[markers > 0]
        agree = np.mean(theirs == ours)
        gap = np.abs(full.reshape(2, -1)[:, free] - probabilities).max()
        rows.append((mode, seconds, agree, gap))
        print(f"mode={mode:<6} {seconds:8.3f} s  ({seconds / ours_time:.1f}x vorlane); "
              f"same label on {100 * agree:.3f}% of pixels, largest probability gap {gap:.1e}")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 3, figsize=(12, 3.6))
    axes[0].imshow(picture, cmap="gray")
    axes[0].set_title("coins")
    axes[1].imshow(markers, cmap="magma")
    axes[1].set_title("seeds (background, coins)")
    axes[2].imshow(picture, cmap="gray")
    axes[2].contour(ours, levels=[1.5], colors="yellow", linewidths=0.8)
    axes[2].set_title(f"random walker by vorlane, {ours_time:.2f} s")
    for axis in axes:
        axis.axis("off")
    figure.tight_layout()
    figure.savefig(args.out, dpi=100)
    print(f"figure       {args.out}")


if __name__ == "__main__":
    main()
