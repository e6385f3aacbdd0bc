# What a type checker sees of the package: the binding's names, which __init__.py loads at their
# first use.
from ._daqhost import *  # noqa: F403
