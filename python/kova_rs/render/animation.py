"""Animations of a retargeted motion: the side and top views of robot and human, frame after
frame, as an MP4 through ffmpeg or an animated GIF through Pillow (which matplotlib brings)."""

from __future__ import annotations

import os
import secrets
import shutil
import subprocess
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from kova_rs.hand_scene import HandScene
from kova_rs.render.hand_views import MM, HandArtists, legend_handles, limits, scene_for
from kova_rs.render.projection import VIEWS

if TYPE_CHECKING:
    from kova_rs.retargeter import Retargeter

FloatArray = npt.NDArray[np.float64]
FORMATS = (".gif", ".mp4")
#: frames per second of a recording that does not say
DEFAULT_SOURCE_FPS = 30.0
#: the picture's size in pixels (even, as H.264 needs)
SIZE = (560, 240)
_DPI = 80


def ffmpeg() -> str | None:
    """The ffmpeg program on PATH, if there is one."""
    return shutil.which("ffmpeg")


def frame_range(text: str | None, count: int) -> range:
    """The frames ``A:B`` (either side may be left out, B excluded, negative from the end) of a
    motion of ``count`` frames; ValueError naming the problem."""
    if count <= 0:
        raise ValueError("the motion has no frames")
    if not text:
        return range(count)
    parts = text.split(":")
    if len(parts) != 2:
        raise ValueError(f"frames {text!r}: expected A:B, such as 0:120 or 30:")
    try:
        start, stop = (int(p) if p.strip() else None for p in parts)
    except ValueError:
        raise ValueError(f"frames {text!r}: A and B must be whole numbers") from None
    chosen = range(count)[slice(start, stop)]
    if not chosen:
        raise ValueError(f"frames {text!r} select nothing of the {count} frames")
    return chosen


def render_animation(source: Retargeter | HandScene, keypoints: npt.ArrayLike | None,
                     qpos: npt.ArrayLike, path: str | os.PathLike[str], *,
                     fps: float | None = None, source_fps: float | None = None,
                     frames: range | None = None, errors: npt.ArrayLike | None = None,
                     title: str = "") -> Path:
    """An animation of ``qpos`` (N, dof) with the human ``keypoints`` (N, 21, 3) or None,
    written to ``path`` (.gif through Pillow, .mp4 through ffmpeg).

    ``fps``: the animation's frame rate (default: 15 for GIF, the recording's for MP4); the
    motion keeps its speed, so frames are skipped when ``fps`` is below ``source_fps`` (the
    recording's, default 30). ``frames``: the part to show (default: all).
    """
    out = Path(os.fspath(path))
    suffix = out.suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"{out}: animations are written as {' or '.join(FORMATS)}")
    if not out.parent.is_dir():
        raise ValueError(f"{out}: the folder {out.parent} does not exist")
    program = ffmpeg() if suffix == ".mp4" else None
    if suffix == ".mp4" and program is None:
        raise ValueError(f"{out}: MP4 needs ffmpeg, which is not installed (apt-get install "
                         "ffmpeg), or write a .gif instead")
    scene = scene_for(source)
    q = np.asarray(qpos, dtype=np.float64)
    kp = None if keypoints is None else np.asarray(keypoints, dtype=np.float64)
    if q.ndim != 2 or q.shape[1] != scene.model.dof:
        raise ValueError(f"qpos must have shape (N, {scene.model.dof}), got {q.shape}")
    if kp is not None and kp.shape != (len(q), 21, 3):
        raise ValueError(f"keypoints must have shape ({len(q)}, 21, 3) like qpos, "
                         f"got {kp.shape}")
    recorded = source_fps or DEFAULT_SOURCE_FPS
    rate = fps or (15.0 if suffix == ".gif" else recorded)
    if not (np.isfinite(rate) and 0 < rate <= 120):
        raise ValueError(f"fps must be between 0 and 120, got {rate:g}")
    chosen = frames if frames is not None else range(len(q))
    step = max(1, round(recorded / rate))
    shown = list(chosen)[::step]
    if not shown or shown[0] < 0 or shown[-1] >= len(q):
        raise ValueError(f"frames {chosen.start}:{chosen.stop} are not in the motion "
                         f"(0 to {len(q) - 1})")
    pictures = _pictures(scene, kp, q, shown, recorded, errors, title)
    if suffix == ".gif":
        return _write_gif(out, pictures, rate)
    assert program is not None
    return _write_mp4(out, pictures, rate, program)


def _pictures(scene: HandScene, kp: FloatArray | None, q: FloatArray, shown: list[int],
              recorded: float, errors: npt.ArrayLike | None, title: str
              ) -> Iterator[npt.NDArray[np.uint8]]:
    """RGB pictures (height, width, 3) of the frames ``shown``, drawn one after the other."""
    from kova_rs.plots import _pyplot

    plt = _pyplot()
    links = scene.link_points(q[shown])
    humans = [] if kp is None else [scene.human_points(kp[shown])]
    per_frame = None if errors is None else np.asarray(errors, dtype=np.float64)
    boxes = [limits([links, *humans], view) for view in VIEWS]
    # each view as wide as its content for the same height, so that neither is left small
    ratios = [(x[1] - x[0]) / (y[1] - y[0]) for x, y in boxes]
    fig, axes = plt.subplots(1, 2, figsize=(SIZE[0] / _DPI, SIZE[1] / _DPI), dpi=_DPI,
                             gridspec_kw={"width_ratios": ratios})
    try:
        fig.subplots_adjust(left=0.05, right=0.99, top=0.86, bottom=0.16, wspace=0.14)
        artists = []
        for ax, view, (xlim, ylim) in zip(axes, VIEWS, boxes):
            artists.append(HandArtists(ax, view, scene))
            ax.set_xlim(*xlim)
            ax.set_ylim(*ylim)
            ax.set_title(view.title, fontsize=8, pad=2)
        fig.legend(handles=legend_handles(scene), loc="lower center", ncol=8, fontsize=6.5,
                   frameon=False, handlelength=1.5)
        caption = fig.text(0.01, 0.94, "", fontsize=8)
        moving = [caption, *(m for a in artists for m in a.moving)]
        for m in moving:
            m.set_animated(True)
        # Axes, grid, labels and legend are drawn once; each frame redraws only what moves.
        canvas: Any = fig.canvas
        canvas.draw()
        background = canvas.copy_from_bbox(fig.bbox)
        for k, frame in enumerate(shown):
            for a in artists:
                a.update(links[k], None if kp is None else kp[frame])
            text = f"{title}  frame {frame}  {frame / recorded:5.2f} s"
            if per_frame is not None and per_frame[frame].size:
                text += f"  mean error {MM * float(per_frame[frame].mean()):.1f} mm"
            caption.set_text(text.strip())
            canvas.restore_region(background)
            for m in moving:
                fig.draw_artist(m)
            yield np.ascontiguousarray(np.asarray(canvas.buffer_rgba())[:, :, :3])
    finally:
        plt.close(fig)


def _partial(final: Path) -> Path:
    return final.with_name(f".{final.name}.{secrets.token_hex(4)}.partial")


def _finish(partial: Path, final: Path) -> Path:
    os.replace(partial, final)
    return final


def _write_gif(out: Path, pictures: Iterator[npt.NDArray[np.uint8]], rate: float) -> Path:
    from kova_rs.extras import require

    require("PIL")
    from PIL import Image

    # One palette for every frame, so that the unchanged background stays the same bytes and
    # the GIF stores little more than what moves.
    images: list[Any] = []
    for picture in pictures:
        image = Image.fromarray(picture)
        images.append(image.quantize(colors=32, method=Image.Quantize.FASTOCTREE) if not images
                      else image.quantize(palette=images[0], dither=Image.Dither.NONE))
    partial = _partial(out)
    try:
        images[0].save(partial, format="GIF", save_all=True, append_images=images[1:],
                       duration=round(1000.0 / rate), loop=0, optimize=False)
        return _finish(partial, out)
    except OSError as err:
        raise ValueError(f"{out}: cannot be written ({err.strerror or err})") from None
    finally:
        partial.unlink(missing_ok=True)


def _write_mp4(out: Path, pictures: Iterator[npt.NDArray[np.uint8]], rate: float,
               program: str) -> Path:
    partial = _partial(out)
    command = [program, "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo",
               "-pix_fmt", "rgb24", "-s", f"{SIZE[0]}x{SIZE[1]}", "-r", f"{rate:g}", "-i", "-",
               "-an", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mp4", str(partial)]
    try:
        with subprocess.Popen(command, stdin=subprocess.PIPE, stderr=subprocess.PIPE) as run:
            assert run.stdin is not None
            try:
                for picture in pictures:
                    run.stdin.write(picture.tobytes())
                run.stdin.close()
            except BrokenPipeError:
                pass  # ffmpeg stopped; its message follows
            problem = run.stderr.read().decode(errors="replace") if run.stderr else ""
            if run.wait() != 0:
                raise ValueError(f"{out}: ffmpeg failed: {' '.join(problem.split())[:300]}")
        return _finish(partial, out)
    finally:
        partial.unlink(missing_ok=True)
