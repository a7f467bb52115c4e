"""Test double of the host's data module ``tessal_mod_palomar_data``."""
