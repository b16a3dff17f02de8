"""Pictures people can read: side and top views of the robot and the human hand, joint plots
per finger and animations (matplotlib, the ``plot`` extra)."""
