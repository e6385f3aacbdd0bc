"""The stand's library under its former name: daqstand and daqstand.X are daqhost.stand and
daqhost.stand.X, the same modules (so that a class or an exception is one, whichever name a
script imports it by)."""

import importlib
import importlib.abc
import importlib.util
import sys

import daqhost.stand


class _Alias(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, name, path=None, target=None):
        if not name.startswith(__name__ + "."):
            return None
        return importlib.util.spec_from_loader(name, self)

    def create_module(self, found):
        return importlib.import_module("daqhost.stand" + found.name[len(__name__):])

    def exec_module(self, module):
        pass


sys.meta_path.insert(0, _Alias())
sys.modules[__name__] = daqhost.stand
