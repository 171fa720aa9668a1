"""The main job until reading lands: report what the engine finds in the sample input."""

from quillfen import _quillfen

print("quillfen native engine loaded:", _quillfen.__name__)
