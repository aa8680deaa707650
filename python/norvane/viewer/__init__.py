"""A live view of the camera in any browser: ``norvane view``, or ``create_app`` for your own server."""

from norvane.viewer.app import create_app

__all__ = ["create_app"]
