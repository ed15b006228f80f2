// Command-line option parsing (being filled in).
