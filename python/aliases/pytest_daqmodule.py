"""The pytest plugin under its former name: this module is daqhost.pytest_plugin."""

import sys

from daqhost import pytest_plugin

sys.modules[__name__] = pytest_plugin
