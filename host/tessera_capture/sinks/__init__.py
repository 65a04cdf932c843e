"""Where completed frames go: snapshots, video through ffmpeg, raw frames.
Each takes immutable frames and never calls back into the capture."""
