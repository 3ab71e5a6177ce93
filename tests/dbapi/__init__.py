"""The DB-API 2.0 compliance suite run against the driver."""
