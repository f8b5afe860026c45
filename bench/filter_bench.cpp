// Speed of the filter engine: one message against one rule of each kind,
// and whole messages against a kill file of 200 rules.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/header_decode.h"
#include "core/text.h"
#include "filter/filter.h"

namespace {

// A kill file written to a private temporary directory and loaded.
class LoadedKillFile {
  public:
    explicit LoadedKillFile(const std::vector<std::string>& lines) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "trawlbox-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        dir_ = pattern;
        std::string path = dir_ + "/KILLFILE.CFG";
        {
            std::ofstream out(path, std::ios::binary);
            for (const std::string& line : lines) out << line << "\r\n";
        }
        loaded_ = LoadKillFile(path) == 1;
    }
    ~LoadedKillFile() {
        ClearKillTable();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    bool loaded() const { return loaded_; }

  private:
    std::string dir_;
    bool loaded_ = false;
};

const std::string kOptions = "\xEA";
const std::string kTarget = "\xAF";

FilterSubject RealisticMail() {
    FilterSubject s;
    s.folder = AddressFirst("erika.mustermann@example.de");
    s.from = AddressFirst("\"Online Shop Customer Service\" <service@shop.example.com>");
    s.subject =
        DecodeHeaderText("Re: Ihre Bestellung 4711-0815 wurde versandt - Sendungsverfolgung");
    s.messageId = "<20240301.123456.789@mail.shop.example.com>";
    s.headerLines = {
        "Return-Path: <bounce-4711@shop.example.com>",
        "Received: from mx.example.de (mx.example.de [192.0.2.10]) by pop.example.de",
        "Received: from mail.shop.example.com (mail.shop.example.com [198.51.100.7])",
        "Date: Fri, 01 Mar 2024 12:34:56 +0100",
        "From: \"Online Shop Customer Service\" <service@shop.example.com>",
        "To: \"Erika Mustermann\" <erika.mustermann@example.de>",
        "Subject: Re: Ihre Bestellung 4711-0815 wurde versandt - Sendungsverfolgung",
        "Message-ID: <20240301.123456.789@mail.shop.example.com>",
        "MIME-Version: 1.0",
        "Content-Type: multipart/alternative; boundary=\"----=_Part_0815\"",
        "X-Mailer: ShopMailer 3.2 (build 1234)",
        "X-Priority: 3",
        "List-Unsubscribe: <mailto:unsubscribe@shop.example.com>",
        "Organization: Online Shop GmbH",
    };
    s.size = 18432;
    s.age = 2;
    return s;
}

// One message against one rule: the unit a kill file's cost is made of.
void EvaluateOneRule(benchmark::State& state, const std::string& rule) {
    LoadedKillFile file({"--- ALLE", rule});
    if (!file.loaded()) {
        state.SkipWithError("kill file not loaded");
        return;
    }
    FilterSubject message = RealisticMail();
    std::string action;
    std::string reason;
    int matched = 0;
    for (auto _ : state) {
        FilterCursor cursor;
        EvaluateFilters(message, cursor, action, reason);
        matched += cursor.matched;
        benchmark::DoNotOptimize(matched);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["matched"] = matched;
}

void BM_WildcardRule(benchmark::State& state) {
    EvaluateOneRule(state, "\"*viagra*\" " + kOptions + "s " + kTarget + "DELE");
}
BENCHMARK(BM_WildcardRule);

void BM_WildcardWholeWordFromRule(benchmark::State& state) {
    EvaluateOneRule(state, "\"*lottery*\" " + kOptions + "ng " + kTarget + "SKIP");
}
BENCHMARK(BM_WildcardWholeWordFromRule);

void BM_HeaderNameRule(benchmark::State& state) {
    EvaluateOneRule(state,
                    "\"*bulk*\" " + kOptions + "\"X-MAILER:ORGANIZATION:\" " + kTarget + "DELE");
}
BENCHMARK(BM_HeaderNameRule);

void BM_RegexRule(benchmark::State& state) {
    EvaluateOneRule(state, "REGEXPR \"(CHEAP|FREE) +(PILLS|MONEY|LOANS)\" " + kOptions + "s " +
                               kTarget + "DELE");
}
BENCHMARK(BM_RegexRule);

// A kill file of 200 rules in several sections, as a user collects them.
std::vector<std::string> TwoHundredRules() {
    std::vector<std::string> lines{"' collected over the years", "--- ALLE"};
    int rules = 0;
    auto add = [&](const std::string& line) {
        lines.push_back(line);
        ++rules;
    };
    for (int i = 0; i < 70; ++i) {
        add("\"*spamword" + std::to_string(i) + "*\" " + kOptions + "s " + kTarget + "DELE");
    }
    for (int i = 0; i < 30; ++i) {
        add("\"*@spammer" + std::to_string(i) + ".example*\" " + kOptions + "n " + kTarget +
            "DELE");
    }
    lines.push_back("--- *@EXAMPLE.DE");
    for (int i = 0; i < 40; ++i) {
        add("\"*offer" + std::to_string(i) + "*\" " + kOptions + "sg " + kTarget + "SKIP");
    }
    for (int i = 0; i < 25; ++i) {
        add("\"*bulkmailer" + std::to_string(i) + "*\" " + kOptions + "\"X-MAILER:\" " + kTarget +
            "DELE");
    }
    lines.push_back("--- /DE/* ALLE");
    for (int i = 0; i < 20; ++i) {
        add("REGEXPR \"WIN(NER)? +[0-9]+ *(EUR|USD)" + std::to_string(i) + "\" " + kOptions + "s " +
            kTarget + "DELE");
    }
    for (int i = 0; i < 10; ++i) {
        add("\"*unsub" + std::to_string(i) + "*\";\"*newsletter*\" " + kOptions + "s " + kTarget +
            "SKIP");
    }
    add("ISREPLY " + kOptions + " " + kTarget + "RETR");
    add("BYTES@500000 " + kOptions + " " + kTarget + "HEAD");
    add("DAYS@365 " + kOptions + " " + kTarget + "DELE");
    add(kOptions + "s TIMES@3,free " + kTarget + "DELE");
    lines.push_back("' " + std::to_string(rules) + " rules");
    return lines;
}

void BM_WholeMessage200Rules(benchmark::State& state) {
    LoadedKillFile file(TwoHundredRules());
    if (!file.loaded()) {
        state.SkipWithError("kill file not loaded");
        return;
    }
    FilterSubject message = RealisticMail();
    std::string action;
    std::string reason;
    for (auto _ : state) {
        // The callers' protocol: call again after a match without Q.
        FilterCursor cursor;
        for (int call = 0; call < 200; ++call) {
            EvaluateFilters(message, cursor, action, reason);
            if (cursor.matched == 0 || (cursor.options & kOptionQ)) break;
        }
        benchmark::DoNotOptimize(action);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WholeMessage200Rules);

// A news reader's kill file: 200 rules in the one section for every group,
// collected against subjects, senders, message ids and references.
std::vector<std::string> TwoHundredNewsRules() {
    std::vector<std::string> lines{"--- ALLE"};
    for (int i = 0; i < 100; ++i) {
        lines.push_back("\"*spamword" + std::to_string(i) + "*\" " + kOptions + "s " + kTarget +
                        "SKIP");
    }
    for (int i = 0; i < 40; ++i) {
        lines.push_back("\"*@troll" + std::to_string(i) + ".example*\" " + kOptions + "n " +
                        kTarget + "SKIP");
    }
    for (int i = 0; i < 30; ++i) {
        lines.push_back("\"*offtopic" + std::to_string(i) + "*\" " + kOptions + "sg " + kTarget +
                        "SKIP");
    }
    for (int i = 0; i < 10; ++i) {
        lines.push_back("\"*@flood" + std::to_string(i) + ".example>*\" " + kOptions + "\"MID:\" " +
                        kTarget + "SKIP");
    }
    for (int i = 0; i < 10; ++i) {
        lines.push_back("\"*@flood" + std::to_string(i) + ".example>*\" " + kOptions + "\"BEZ:\" " +
                        kTarget + "SKIP");
    }
    for (int i = 0; i < 10; ++i) {
        lines.push_back("REGEXPR \"(KAUFE|VERKAUFE) +[0-9]+ *STUECK" + std::to_string(i) + "\" " +
                        kOptions + "s " + kTarget + "SKIP");
    }
    return lines;
}

FilterSubject OverviewLine() {
    FilterSubject s;
    s.folder = "/DE/COMP/LANG/ISO-C++";
    s.from = DecodeHeaderText(AddressFirst("Max Mustermann <max.mustermann@example.org>"));
    s.subject = DecodeHeaderText("Re: Frage zu std::vector und Iteratoren (war: Speicherleck)");
    s.messageId = "<u7k2p1$3fa$1@news.example.org>";
    s.references = "<u7jq9m$2vb$1@news.example.net> <u7k0a3$31c$1@news.example.org>";
    return s;
}

// The news overview filter's unit of work: one overview line against the
// whole kill file, with nothing matching.
void BM_Overview200RulesNoMatch(benchmark::State& state) {
    LoadedKillFile file(TwoHundredNewsRules());
    if (!file.loaded()) {
        state.SkipWithError("kill file not loaded");
        return;
    }
    FilterSubject line = OverviewLine();
    std::string action;
    std::string reason;
    int matched = 0;
    for (auto _ : state) {
        FilterCursor cursor;
        EvaluateFilters(line, cursor, action, reason);
        matched += cursor.matched;
        benchmark::DoNotOptimize(matched);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["matched"] = matched;
}
BENCHMARK(BM_Overview200RulesNoMatch);

void BM_DecodeHeaderText(benchmark::State& state) {
    const std::string value =
        "Re: =?iso-8859-1?Q?Gr=FC=DFe_aus_M=FCnchen?= =?utf-8?B?4oCTIEvDtmxu?= und Umgebung";
    for (auto _ : state) {
        std::string decoded = DecodeHeaderText(value);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeHeaderText);

}  // namespace

BENCHMARK_MAIN();
