"""HL7 v2 over MLLP: the `mirabex serve` listener, which stores every message
as a JSON line before acknowledging it, and the `mirabex send` client.

    framing          MLLP frames cut from a byte stream, across reads
    acknowledgment   ACK messages built from a message's header, and read back
    journal          the JSON Lines file: whole lines, group commit, repair
    server           the asyncio listener
    sender           the asyncio client
    commands         the two subcommands of the mirabex command
"""
