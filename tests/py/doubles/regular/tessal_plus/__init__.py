"""Host package ``tessal_plus`` as a regular package.

The bundle module installs ``tessal_plus/bundle/`` in another folder; the
path extension lets ``import tessal_plus.bundle`` find it there although this
``tessal_plus`` has an ``__init__.py`` of its own."""
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
