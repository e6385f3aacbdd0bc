"""The test stand as a library: many testModule instances in network namespaces of their own,
behind relays that make network faults, with faults of the modules themselves. The teststand
program is a thin command line on top of it."""

from .interface import StandInterface  # noqa: F401
from .stand import MAX_MODULES, ModuleOptions, Stand, StandError  # noqa: F401
