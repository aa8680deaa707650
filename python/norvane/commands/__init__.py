"""Subcommands of the norvane command, one module each (see norvane.cli.COMMANDS)."""
