"""Generated material for the side-by-side benchmark: a kill file of realistic
rules, mailboxes of realistic messages and news articles.

Everything is made from a seeded generator, so every run sees the same
mailboxes and the same kill file. Spam is a small, known share: most
messages and articles pass every rule, as in a real mailbox.
"""
import base64
import random

SEED = 20261207

OPTIONS = b"\xEA"  # starts a rule's option letters
TARGET = b"\xAF"   # starts a rule's action word

SPAM_WORDS = [
    "viagra", "cialis", "casino", "lottery", "jackpot", "replica", "rolex", "weight loss",
    "diet pill", "bitcoin doubler", "crypto signal", "forex robot", "payday loan",
    "credit repair", "inheritance", "beneficiary", "wire transfer", "western union",
    "work from home", "make money fast", "extra income", "mlm", "penny stock", "hot stock",
    "miracle cure", "enlarge", "pharmacy", "no prescription", "cheap meds", "online degree",
    "diploma", "act now", "limited offer", "risk free", "100% free", "click here",
    "unsubscribe now", "you have won", "winner", "prize claim", "free gift", "gift card",
    "free iphone", "dating", "singles near you", "hot girls", "adult", "xxx", "webcam",
    "seo services", "backlinks", "email list", "bulk email", "mass mailing", "cheap hosting",
    "lowest price", "best rates", "mortgage", "refinance", "debt relief", "tax refund",
    "irs notice", "account suspended", "verify your account", "password expired",
    "invoice attached", "urgent reply", "confidential proposal", "business proposal",
    "dear friend", "kindly", "god bless", "nigerian", "prince", "barrister", "attorney at law",
    "next of kin", "compensation fund", "atm card", "lotto", "sweepstake", "bonus code",
    "free spins", "betting tips", "sure win", "double your", "cash prize", "earn $",
]
SPAM_DOMAINS = [f"spam{i:02d}.example" for i in range(30)] + [
    "bulk-mailer.example", "promo-blast.example", "deals4u.example", "cheap-pills.example",
    "lucky-winner.example", "offer-zone.example", "mega-sale.example", "best-price.example",
]
# Senders whose From rule hides rather than kills.
SKIP_DOMAINS = SPAM_DOMAINS[::3]
SPAM_MAILERS = ["bulkmailer", "massmail", "dark mailer", "group mail pro", "atomic mail sender",
                "sendblaster", "mailking", "turbo mailer", "super mailer", "spamware"]
SPAM_ORGS = ["dream team", "money club", "wealth academy", "lucky draw", "global lottery"]

HAM_SUBJECTS = [
    "Meeting on {d}", "Re: Build broken on {d}", "Minutes of the {d} review",
    "Holiday photos", "Re: Re: question about the release", "Your order {n} has shipped",
    "Invoice {n} for December", "Weekly report {n}", "Lunch tomorrow?", "Patch {n} for review",
    "Re: [dev] thread {n}", "Fwd: tickets for {d}", "Kindergarten newsletter {n}",
    "Status of ticket #{n}", "Club evening {d}", "Re: the garden fence",
]
HAM_PEOPLE = ["Anna Berg", "Jonas Klein", "Maria Lopez", "Peter Novak", "Sofia Rossi",
              "Tom Baker", "Lena Fischer", "Omar Haddad", "Yuki Tanaka", "Eva Lindqvist"]
HAM_DOMAINS = ["example.org", "mail.example.net", "uni.example.edu", "shop.example.com",
               "club.example.de"]
MAILERS = ["Thunderbird 115.5", "Evolution 3.46", "Mutt/2.2.9", "Claws Mail 4.1", "KMail 5.22"]

KILL_SHARE = 0.03  # messages and articles that a DELE rule catches
SKIP_SHARE = 0.02  # those that a SKIP rule catches


def kill_file(rule_count=200):
    """Returns (kill file bytes, number of rules) with rule_count realistic
    rules: wildcard Subject and From rules, header-name rules, a few regular
    expressions, a few keep rules. Actions are mostly DELE and SKIP, as in a
    real kill file; they match only the generated spam. Fewer than about 70
    rules leave out the Subject rules, then the From rules, and so on."""
    rng = random.Random(SEED)
    rules = []

    def rule(condition, options, action):
        rules.append(condition + b" " + OPTIONS + options + b" " + TARGET + action)

    # Keep rules for known correspondents: with "q" nothing later can kill them.
    for domain in ("friends.example", "family.example"):
        rule(b'"*@' + domain.encode() + b'*"', b"nq", b"RETR")
    # Header-name rules.
    for mailer in SPAM_MAILERS:
        rule(b'"*' + mailer.encode() + b'*"', b'"X-MAILER:"', b"DELE")
    for org in SPAM_ORGS:
        rule(b'"*' + org.encode() + b'*"', b'"ORGANIZATION:"', b"SKIP")
    rule(b'"YES*"', b'"X-SPAM-FLAG:"', b"DELE")
    rule(b'"*spam01.example*"', b'"MID:"', b"DELE")
    rule(b'"*bulk*"', b'"PRECEDENCE:LIST-UNSUBSCRIBE:"', b"SKIP")
    # Regular expressions.
    for expression in (rb"WIN [0-9]+ (EUR|USD|GBP)", rb"^\[SPAM\]", rb"[0-9]{3,}% (OFF|FREE)",
                       rb"(CHEAP|DISCOUNT) +(MEDS|PILLS)", rb"^RE: *\$[0-9]+"):
        rule(b'REGEXPR "' + expression + b'"', b"s", b"DELE")
    # From rules: whole spam domains, some words in addresses.
    for domain in SPAM_DOMAINS:
        rule(b'"*@' + domain.encode() + b'*"', b"n", b"SKIP" if domain in SKIP_DOMAINS else b"DELE")
    for word in ("promo", "newsletter-blast", "noreply-offers", "winner", "lottery"):
        rule(b'"*' + word.encode() + b'*"', b"n", b"DELE")
    # Subject rules, single words and pairs, some whole-word or case-sensitive.
    words = list(SPAM_WORDS)
    rng.shuffle(words)
    index = 0
    while len(rules) < rule_count:
        word = words[index % len(words)].encode()
        kind = index // len(words)
        if kind == 0:
            rule(b'"*' + word + b'*"', rng.choice([b"s", b"s", b"sg"]),
                 b"DELE" if rng.random() < 0.7 else b"SKIP")
        else:
            other = words[(index * 7 + 3) % len(words)].encode()
            rule(b'"*' + word + b'*";"*' + other + b'*"', b"s", b"DELE")
        index += 1
    rules = rules[:rule_count]
    lines = [b"' generated kill file of the side-by-side benchmark", b"--- ALLE"] + rules
    return b"\r\n".join(lines) + b"\r\n", len(rules)


def _date(rng):
    return "%s, %02d Dec 2026 %02d:%02d:%02d +0100" % (
        rng.choice(["Mon", "Tue", "Wed", "Thu", "Fri"]), rng.randint(1, 28), rng.randint(0, 23),
        rng.randint(0, 59), rng.randint(0, 59))


def _received(rng, hop):
    return ("Received: from mx%d.example.net (mx%d.example.net [192.0.2.%d])\n"
            "\tby mail.example.org (Postfix) with ESMTPS id %08X\n"
            "\tfor <me@example.org>; %s" % (hop, hop, rng.randint(1, 254),
                                             rng.getrandbits(32), _date(rng)))


def _text_body(rng, size):
    words = ["the", "report", "build", "meeting", "tomorrow", "please", "review", "attached",
             "thanks", "regards", "question", "release", "schedule", "changes", "agree"]
    lines, length = [], 0
    while length < size:
        line = " ".join(rng.choice(words) for _ in range(12))
        lines.append(line)
        length += len(line) + 2
    return "\n".join(lines) + "\n"


def _base64_body(rng, size):
    """A MIME attachment part of about size bytes on the wire."""
    raw = rng.randbytes(size * 3 // 4)
    text = base64.encodebytes(raw).decode("ascii")  # 76-character lines
    return ("This is a multi-part message in MIME format.\n\n--b1\n"
            "Content-Type: text/plain; charset=utf-8\n\nSee the attached file.\n\n--b1\n"
            "Content-Type: application/octet-stream; name=\"data.bin\"\n"
            "Content-Transfer-Encoding: base64\n\n" + text + "--b1--\n")


def _ham_header(rng, n):
    person = rng.choice(HAM_PEOPLE)
    domain = rng.choice(HAM_DOMAINS)
    subject = rng.choice(HAM_SUBJECTS).format(n=n, d="%d Dec" % rng.randint(1, 28))
    if rng.random() < 0.1:
        subject = "=?UTF-8?Q?" + subject.replace(" ", "_") + "_=C3=BCber?="
    lines = [_received(rng, hop) for hop in range(rng.randint(2, 4))]
    lines += [
        "Return-Path: <%s@%s>" % (person.split()[0].lower(), domain),
        "From: %s <%s@%s>" % (person, person.split()[0].lower(), domain),
        "To: Me <me@example.org>",
    ]
    if rng.random() < 0.3:
        lines.append("Cc: %s <%s@example.org>, team@example.org" %
                     (rng.choice(HAM_PEOPLE), rng.choice(HAM_PEOPLE).split()[1].lower()))
    lines += [
        "Subject: " + subject,
        "Date: " + _date(rng),
        "Message-ID: <%d.%08x@%s>" % (n, rng.getrandbits(32), domain),
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8; format=flowed",
        "User-Agent: " + rng.choice(MAILERS),
        "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=%s; s=s1;\n\th=from:to:subject:"
        "date:message-id;\n\tb=%s" % (domain, base64.b64encode(rng.randbytes(96)).decode()),
    ]
    if rng.random() < 0.2:
        lines.append("List-Id: <dev.lists.example.org>")
    return lines


def _spam_header(rng, n, action):
    """A spam header that one of the kill file's DELE (or SKIP) rules catches."""
    domain = rng.choice(SPAM_DOMAINS)
    lines = [_received(rng, 1)]
    if action == "SKIP":
        org = rng.choice(SPAM_ORGS)
        lines += ["From: Offers <offers@mailer.example.com>",
                  "Subject: Your personal newsletter %d" % n,
                  "Organization: The " + org.title()]
    else:
        word = rng.choice(SPAM_WORDS)
        lines += ["From: \"Best Deals\" <deals@%s>" % domain,
                  "Subject: %s - only today %d" % (word.upper(), n),
                  "X-Mailer: " + rng.choice(SPAM_MAILERS).title() + " 3.1"]
    lines += ["To: undisclosed-recipients:;", "Date: " + _date(rng),
              "Message-ID: <%d.%08x@%s>" % (n, rng.getrandbits(32), domain),
              "MIME-Version: 1.0", "Content-Type: text/html; charset=us-ascii"]
    return lines


def scan_mailbox(count):
    """Yields count messages (LF line ends) of 2 to 12 KB: mostly ham, about
    KILL_SHARE of them spam that DELE rules catch and SKIP_SHARE spam that
    SKIP rules catch."""
    rng = random.Random(SEED + 1)
    for n in range(1, count + 1):
        draw = rng.random()
        if draw < KILL_SHARE:
            header = _spam_header(rng, n, "DELE")
        elif draw < KILL_SHARE + SKIP_SHARE:
            header = _spam_header(rng, n, "SKIP")
        else:
            header = _ham_header(rng, n)
        yield ("\n".join(header) + "\n\n" + _text_body(rng, rng.randint(2000, 12000))).encode()


def plain_message(n, size):
    """A ham message of about size bytes (an attachment for large sizes)."""
    rng = random.Random(SEED + 2 + n)
    header = "\n".join(_ham_header(rng, n)) + "\n"
    if size > 64 * 1024:
        header = header.replace("Content-Type: text/plain; charset=utf-8; format=flowed",
                                "Content-Type: multipart/mixed; boundary=\"b1\"")
        return (header + "\n" + _base64_body(rng, size - len(header))).encode()
    return (header + "\n" + _text_body(rng, size - len(header))).encode()


class NewsArticles:
    """Subject, From and References of the n-th bulk article, for the news
    fixture's bulk loader: mostly ordinary discussion, SKIP_SHARE of it from
    senders a SKIP rule withholds, KILL_SHARE with subjects a DELE rule
    matches (DELE keeps news articles: a reader cannot delete them)."""

    def _kind(self, n):
        draw = random.Random(SEED * 7 + n).random()
        if draw < SKIP_SHARE:
            return "skip"
        if draw < SKIP_SHARE + KILL_SHARE:
            return "dele"
        return "ham"

    def subject(self, n):
        kind = self._kind(n)
        if kind == "dele":
            return "%s for you %d" % (SPAM_WORDS[n % len(SPAM_WORDS)].upper(), n)
        topic = HAM_SUBJECTS[n % len(HAM_SUBJECTS)].format(n=n, d="%d Dec" % (n % 28 + 1))
        return topic if kind == "ham" else "Great news %d" % n

    def sender(self, n):
        if self._kind(n) == "skip":
            return "Offers <offers@%s>" % SKIP_DOMAINS[n % len(SKIP_DOMAINS)]
        person = HAM_PEOPLE[n % len(HAM_PEOPLE)]
        return "%s <%s@%s>" % (person, person.split()[0].lower(),
                               HAM_DOMAINS[n % len(HAM_DOMAINS)])

    def headers(self, n):
        if n > 1 and n % 3 == 0:
            return {"References": "<%d.ref@fixture.test> <%d.ref@fixture.test>" % (n - 2, n - 1)}
        return None

    def withheld(self, count):
        """How many of articles 1..count a SKIP rule withholds."""
        return sum(1 for n in range(1, count + 1) if self._kind(n) == "skip")
