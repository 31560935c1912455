"""lumora: systematic equity research on the China A-share market."""

__version__ = "0.1.0"
