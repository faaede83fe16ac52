"""The commands of `tavlox-zero`, one module each (`cli` dispatches): the top layer, which may
import every layer below."""
