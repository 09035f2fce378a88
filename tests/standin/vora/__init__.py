"""Stand-in for the VORA converter package, used by the tests and the demo.

Only the module ``vora.api`` with its class ``VORA`` is provided; see there.
"""
