# fernd behind Dovecot's POP3 proxy, as docs/scaling.md sets it up, from the page's text: two fernd
# backends and a private Dovecot instance (which starts as root, and skips otherwise), with
# clients over STLS and POP3S, the page's curl and doveadm commands, refusals and a stopped
# backend. A class takes under a minute, longer in the sanitizer build on a busy machine.
fernd_e2e_classes(proxy proxy.py 300)
