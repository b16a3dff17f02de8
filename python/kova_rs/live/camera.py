"""A camera or a video file through MediaPipe's hand landmarker (extra ``kova_rs[mediapipe]``).

``camera:N`` opens camera N, ``video:PATH`` a video file (played at its own frame rate). Each
image goes through MediaPipe's hand landmarker in video mode; the 21 world landmarks of the
hand (metres, MediaPipe's layout) become one frame, and an image without the hand a frame
without keypoints (the last command is held). The landmarker needs its model file
(``hand_landmarker.task`` from MediaPipe's model page), given with ``--mediapipe-model``.

Images are read and analysed on a thread of their own; the live loop takes the newest result
(at most QUEUE results wait; older ones are dropped and counted).
"""

from __future__ import annotations

import collections
import importlib
import socket
import threading
import time
from pathlib import Path
from typing import Any

import numpy as np

from kova_rs.extras import require
from kova_rs.live.messages import Frame

QUEUE = 8


def is_camera_source(text: str) -> bool:
    return text.startswith(("camera:", "video:"))


def _modules() -> tuple[Any, Any, Any]:
    mediapipe = require("mediapipe")  # MissingExtra names kova_rs[mediapipe]
    cv2 = require("cv2")  # installed with mediapipe
    tasks = importlib.import_module("mediapipe.tasks.python")
    return cv2, mediapipe, (tasks.BaseOptions, tasks.vision)


class CameraSource:
    layout = "mediapipe"

    def __init__(self, spec: str, model: Path | None, side: str = "right") -> None:
        cv2, mediapipe, (base_options, vision) = _modules()
        if model is None or not model.is_file():
            raise ValueError(f"{spec}: MediaPipe's hand landmarker needs its model file; give "
                             "it with --mediapipe-model hand_landmarker.task (from MediaPipe's "
                             "model page)" + (f"; {model} does not exist" if model else ""))
        kind, _, where = spec.partition(":")
        target: int | str = int(where) if kind == "camera" and where.isdigit() else where
        if kind == "video" and not Path(where).is_file():
            raise ValueError(f"{spec}: no such video file")
        self._capture = cv2.VideoCapture(target)
        if not self._capture.isOpened():
            raise ValueError(f"{spec}: cannot be opened")
        self._cv2, self._mediapipe = cv2, mediapipe
        options = vision.HandLandmarkerOptions(
            base_options=base_options(model_asset_path=str(model)),
            running_mode=vision.RunningMode.VIDEO, num_hands=2)
        try:
            self._landmarker = vision.HandLandmarker.create_from_options(options)
        except (RuntimeError, ValueError) as err:
            self._capture.release()
            raise ValueError(f"{model}: not a hand landmarker model ({err})") from None
        self._label = "Left" if side == "left" else "Right"
        self._pace = 0.0
        if kind == "video":
            fps = float(self._capture.get(cv2.CAP_PROP_FPS) or 0.0)
            self._pace = 1.0 / fps if fps > 0 else 1.0 / 30.0
        self._results: collections.deque[Frame] = collections.deque(maxlen=QUEUE)
        self._lock = threading.Lock()
        self._wake_reader, self._wake_writer = socket.socketpair()
        self._wake_reader.setblocking(False)
        self._wake_writer.setblocking(False)
        self.pollable: Any = self._wake_reader
        self._stop = threading.Event()
        self._ended = threading.Event()
        self._problem = ""
        self._thread = threading.Thread(target=self._run, name="kova-camera", daemon=True)
        self._thread.start()

    @property
    def exhausted(self) -> bool:
        with self._lock:
            return self._ended.is_set() and not self._results

    def _run(self) -> None:
        seq, start = 0, time.monotonic()
        try:
            while not self._stop.is_set():
                ok, image = self._capture.read()
                if not ok:
                    break
                t = time.time()
                rgb = self._cv2.cvtColor(image, self._cv2.COLOR_BGR2RGB)
                picture = self._mediapipe.Image(image_format=self._mediapipe.ImageFormat.SRGB,
                                                data=rgb)
                result = self._landmarker.detect_for_video(picture, int(1000 * seq * self._pace)
                                                           if self._pace else int(1000 * t))
                frame = Frame(seq, t, self._hand(result), time.time())
                with self._lock:
                    self._results.append(frame)
                try:
                    self._wake_writer.send(b"\0")
                except (BlockingIOError, OSError):
                    pass  # the loop has a wake-up pending already
                seq += 1
                if self._pace:  # a video file plays at its frame rate
                    time.sleep(max(0.0, start + seq * self._pace - time.monotonic()))
        except Exception as err:  # noqa: BLE001 (a thread: reported as the end of the source)
            self._problem = f"{type(err).__name__}: {err}"
        finally:
            self._ended.set()
            try:
                self._wake_writer.send(b"\0")
            except OSError:
                pass

    def _hand(self, result: Any) -> np.ndarray | None:
        for landmarks, handedness in zip(result.hand_world_landmarks, result.handedness):
            if handedness and handedness[0].category_name == self._label:
                return np.array([[p.x, p.y, p.z] for p in landmarks], dtype=np.float64)
        return None

    def receive(self) -> list[tuple[Frame, Any, float]]:
        try:
            while self._wake_reader.recv(4096):
                pass
        except (BlockingIOError, OSError):
            pass
        with self._lock:
            frames = list(self._results)
            self._results.clear()
        return [(frame, None, frame.t_recv) for frame in frames]

    def reply(self, address: Any, data: bytes) -> None:
        pass

    def close(self) -> None:
        self._stop.set()
        self._thread.join(timeout=5)
        self._capture.release()
        self._landmarker.close()
        self._wake_reader.close()
        self._wake_writer.close()

    @property
    def problem(self) -> str:
        """Why the images stopped before the end, if they did."""
        return self._problem
