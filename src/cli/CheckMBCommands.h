#pragma once

class CliContext;

/// murmelo-cli account-test --server S --user U --password P [--port N] [--security tls|starttls|none]:
/// one login to the server and out again; prints "ok" (exit 0) or the reason (exit 2).
/// `accounts test ...` is meant to land here with the same arguments.
int RunAccountTest(CliContext &ctx);

/// murmelo-cli detect EMAIL --password P: the server, port, security and logon name that
/// autodetection finds (exit 0), or why it found none (exit 2).
int RunDetect(CliContext &ctx);
