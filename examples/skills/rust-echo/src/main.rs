//! A skill speaking the "stdio-json" protocol: it reads one JSON value from
//! standard input and answers with one JSON object on standard output.
//!
//! The runtime always sends well-formed compact JSON, so the value can be
//! echoed back as it is, without a JSON library.
use std::io::{self, Read, Write};

fn main() {
    let mut input = String::new();
    if let Err(err) = io::stdin().read_to_string(&mut input) {
        eprintln!("cannot read input: {err}");
        std::process::exit(2);
    }
    let value = input.trim();
    if value.is_empty() {
        eprintln!("no input");
        std::process::exit(2);
    }
    let out = format!(
        "{{\"skill\":\"rust-echo\",\"input\":{value},\"input_bytes\":{}}}\n",
        value.len()
    );
    let mut stdout = io::stdout().lock();
    if stdout.write_all(out.as_bytes()).and_then(|_| stdout.flush()).is_err() {
        std::process::exit(1);
    }
}
