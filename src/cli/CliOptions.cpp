// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"

#include "cli/Commands.h"
#include "common/AppSettings.h"
#include "naming/NameBuilder.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace {

// Options that take a value, and the flags.
const QStringList ValueOptions { u"engine"_s, u"endpoint"_s, u"base-url"_s, u"api-key"_s, u"api-key-file"_s,
    u"model"_s, u"frames"_s, u"concurrency"_s, u"target"_s, u"separator"_s, u"geocoder"_s, u"frames-dir"_s };
const QStringList FlagOptions { u"json"_s, u"no-date"_s, u"no-location"_s, u"no-content"_s, u"no-original"_s,
    u"no-path-place"_s, u"geocode"_s, u"help"_s, u"version"_s, u"last"_s, u"rename"_s, u"dry-run"_s,
    u"list"_s };

struct Usage
{
    QString command;
    QString synopsis;
    QString description;
    int maxArguments; // -1: any number
    QStringList ownOptions; // options that mean something to this command only
};

const QList<Usage>& usages()
{
    static const QList<Usage> list {
        { u"settings"_s, u"settings"_s, u"显示生效的设置（已应用命令行选项）"_s, 0, {} },
        { u"import"_s, u"import PATH..."_s, u"像窗口一样导入文件和文件夹，列出导入的素材"_s, -1, {} },
        { u"inspect"_s, u"inspect FILE... [--frames-dir DIR]"_s,
            u"显示类型、拍摄日期、GPS 坐标和时长；--frames-dir DIR 把抽取的帧和拼图写入 DIR/<文件名>/"_s, -1,
            { u"frames-dir"_s } },
        { u"models"_s, u"models"_s, u"列出所选引擎的模型"_s, 0, {} },
        { u"pull"_s, u"pull NAME"_s, u"通过本机 Ollama 下载模型，进度输出到标准错误"_s, 1, {} },
        { u"doctor"_s, u"doctor"_s, u"检查本机 Ollama 是否已安装、正在运行并已有模型"_s, 0, {} },
        { u"analyze"_s, u"analyze PATH... [--rename [--dry-run]]"_s,
            u"导入并分析，给出建议的新文件名；--rename 随后执行重命名（中断时不重命名任何文件）；"
            u"加 --dry-run 只列出重命名计划，不改动任何文件"_s,
            -1, { u"rename"_s, u"dry-run"_s } },
        { u"undo"_s, u"undo [LOG | --last | --list]"_s,
            u"按撤销记录把文件改回原名（--last 或不给参数：本用户最近的一次）；--list 列出各批重命名，最近的在前"_s,
            1, { u"last"_s, u"list"_s } },
        { u"export-csv"_s, u"export-csv [LOG]"_s,
            u"把一批重命名的记录以 CSV 写到标准输出（不给 LOG：最近的一批）"_s, 1, {} },
        { u"forget"_s, u"forget [PATH...]"_s,
            u"删除为这些文件（或文件夹中的文件）保存的分析结果和手动修改；不给路径时删除全部；列表和撤销记录保留"_s,
            -1, {} },
    };
    return list;
}

const Usage* usageOf(const QString& command)
{
    for (const Usage& usage : usages()) {
        if (usage.command == command)
            return &usage;
    }
    return nullptr;
}

const QString OptionsHelp = uR"(选项（未给出的取窗口中保存的设置；括号里是从未设置时的默认值）:
  --engine ollama|openai 视觉模型后端（ollama）
  --endpoint URL         本机 Ollama 地址（http://localhost:11434）
  --base-url URL         OpenAI 兼容接口地址
  --api-key KEY          API 密钥；命令行对本机其他用户可见，请改用 --api-key-file 或环境变量 VELMORA_API_KEY
  --api-key-file FILE    从文件的第一行读取 API 密钥；FILE 为 - 时读标准输入
  --model NAME           模型名称（qwen2.5vl:7b）
  --frames N             每个视频抽取的帧数，1–6（4）
  --concurrency N        同时发送的请求数，1–32（ollama 为 1，openai 为 4）
  --target videos|photos|both  处理对象（videos：只处理视频）
  --separator S          文件名各部分之间的分隔符（_）
  --no-date --no-location --no-content --no-original  文件名中不包含该部分
  --no-path-place        不从文件夹名推断地点
  --geocode              用 GPS 坐标反查地名
  --geocoder URL         反查地名服务地址（Nominatim 兼容接口）
  --json                 以 JSON 输出结果（格式见 velmora-cli(1)）
  -h, --help             显示帮助；velmora-cli 命令 --help 或 velmora-cli help 命令 显示该命令的帮助
  --version              显示版本

退出状态: 0 全部完成；1 有素材失败；2 用法错误、输入不可读，或没有可处理的素材；130/143 被 Ctrl-C / SIGTERM 中断
)"_s;

bool fail(CliOptions::UsageError* error, const QString& message)
{
    error->message = message;
    return false;
}

// The first line of a key file, or of standard input for "-".
std::optional<QString> readKeyFile(const QString& name)
{
    QFile file;
    const bool opened = name == u"-" ? file.open(stdin, QIODevice::ReadOnly)
                                     : (file.setFileName(name), file.open(QIODevice::ReadOnly));
    if (!opened)
        return std::nullopt;
    const QString key = QString::fromUtf8(file.readLine(64 * 1024)).trimmed();
    if (key.isEmpty())
        return std::nullopt;
    return key;
}

// Checks that need the whole command line: the command, its argument count and its own options.
bool checkCommand(
    CliOptions& options, QStringList positional, const QStringList& used, CliOptions::UsageError* error)
{
    if (!positional.isEmpty() && positional.first() == u"help") {
        // "help" and "help COMMAND"
        positional.removeFirst();
        options.help = true;
        if (positional.size() > 1)
            return fail(error, u"多余的参数: "_s + positional.at(1));
    }
    if (positional.isEmpty())
        return options.help || options.version || fail(error, u"缺少命令"_s);
    options.command = positional.takeFirst();
    const Usage* usage = usageOf(options.command);
    if (!usage || !Commands::find(options.command))
        return fail(error, u"未知命令: "_s + options.command);
    error->command = options.command;
    if (options.help || options.version)
        return true;
    options.arguments = positional;
    for (const QString& name : used) {
        for (const Usage& other : usages()) {
            if (other.ownOptions.contains(name) && &other != usage)
                return fail(error, u"选项 --"_s + name + u" 只用于 "_s + other.command);
        }
    }
    if (options.arguments.size() < Commands::find(options.command)->minArguments)
        return fail(error, options.command + u" 缺少参数"_s);
    const int max = options.last || options.list ? 0 : usage->maxArguments;
    if (max >= 0 && options.arguments.size() > max)
        return fail(error, u"多余的参数: "_s + options.arguments.at(max));
    return true;
}

} // namespace

QString CliOptions::helpText(const QString& command)
{
    if (const Usage* usage = usageOf(command)) {
        return u"用法: velmora-cli [选项] "_s + usage->synopsis + u"\n\n"_s + usage->description + u"\n\n"_s
            + OptionsHelp;
    }
    QString text = u"用法: velmora-cli [选项] 命令 [参数...]\n\n命令:\n"_s;
    for (const Usage& usage : usages())
        text += u"  "_s + usage.synopsis.leftJustified(34) + u' ' + usage.description + u'\n';
    return text + u'\n' + OptionsHelp;
}

std::optional<CliOptions> CliOptions::parse(const QStringList& argv, UsageError* error)
{
    CliOptions options;
    QStringList positional;
    QStringList used;
    std::optional<QString> keyFile;
    bool onlyPositional = false;
    // Read ahead, so that a usage error found before --json still answers in JSON.
    const qsizetype end = argv.indexOf(u"--"_s);
    error->json = argv.mid(1, end < 0 ? -1 : end - 1).contains(u"--json"_s);
    for (qsizetype i = 1; i < argv.size(); ++i) {
        const QString& arg = argv.at(i);
        if (!onlyPositional && arg == u"-h") {
            options.help = true;
            continue;
        }
        if (onlyPositional || !arg.startsWith(u"--") || arg == u"--") {
            if (arg == u"--" && !onlyPositional)
                onlyPositional = true;
            else
                positional.append(arg);
            continue;
        }
        QString name = arg.mid(2);
        std::optional<QString> value;
        if (const qsizetype eq = name.indexOf(u'='); eq >= 0) {
            value = name.mid(eq + 1);
            name.truncate(eq);
        }
        used.append(name);
        if (FlagOptions.contains(name)) {
            if (value) {
                fail(error, u"选项 --"_s + name + u" 不带参数"_s);
                return std::nullopt;
            }
            options.json |= name == u"json";
            options.noDate |= name == u"no-date";
            options.noLocation |= name == u"no-location";
            options.noContent |= name == u"no-content";
            options.noOriginal |= name == u"no-original";
            options.noPathPlace |= name == u"no-path-place";
            options.geocode |= name == u"geocode";
            options.help |= name == u"help";
            options.version |= name == u"version";
            options.last |= name == u"last";
            options.list |= name == u"list";
            options.rename |= name == u"rename";
            options.dryRun |= name == u"dry-run";
            continue;
        }
        if (!ValueOptions.contains(name)) {
            fail(error, u"未知选项: "_s + arg);
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= argv.size()) {
                fail(error, u"选项 --"_s + name + u" 需要一个值"_s);
                return std::nullopt;
            }
            value = argv.at(++i);
        }
        if (name == u"engine") {
            if (*value != u"ollama" && *value != u"openai") {
                fail(error, u"--engine 只能是 ollama 或 openai"_s);
                return std::nullopt;
            }
            options.engine = *value;
        } else if (name == u"target") {
            if (*value != u"videos" && *value != u"photos" && *value != u"both") {
                fail(error, u"--target 只能是 videos、photos 或 both"_s);
                return std::nullopt;
            }
            options.target = *value;
        } else if (name == u"frames") {
            // Always the count; inspect's picture folder is --frames-dir, so "--frames 3" cannot mean both.
            bool ok = false;
            const int frames = value->toInt(&ok);
            if (!ok || frames < 1 || frames > 6) {
                fail(error,
                    ok ? u"--frames 需要 1 到 6 之间的整数"_s
                       : u"--frames 需要 1 到 6 之间的整数（写出帧图片请用 --frames-dir DIR）"_s);
                return std::nullopt;
            }
            options.frames = frames;
        } else if (name == u"concurrency") {
            bool ok = false;
            const int count = value->toInt(&ok);
            if (!ok || count < 1 || count > AppSettings::MaxConcurrentRequests) {
                fail(error, u"--concurrency 需要 1 到 32 之间的整数"_s);
                return std::nullopt;
            }
            options.concurrency = count;
        } else if (name == u"frames-dir") {
            options.framesDir = *value;
        } else if (name == u"endpoint") {
            options.endpoint = *value;
        } else if (name == u"base-url") {
            options.baseUrl = *value;
        } else if (name == u"api-key") {
            options.apiKey = *value;
        } else if (name == u"api-key-file") {
            keyFile = *value;
        } else if (name == u"model") {
            options.model = *value;
        } else if (name == u"separator") {
            if (const auto problem = NameBuilder::separatorProblem(*value)) {
                fail(error, u"--separator "_s + *problem);
                return std::nullopt;
            }
            options.separator = *value;
        } else if (name == u"geocoder") {
            options.geocoder = *value;
        }
    }

    if (!checkCommand(options, positional, used, error))
        return std::nullopt;
    if (options.dryRun && !options.rename && !options.help) {
        fail(error, u"--dry-run 只与 --rename 一起使用"_s);
        return std::nullopt;
    }
    if (options.help || options.version)
        return options;
    if (keyFile) {
        if (options.apiKey) {
            fail(error, u"--api-key 与 --api-key-file 只能给一个"_s);
            return std::nullopt;
        }
        options.apiKey = readKeyFile(*keyFile);
        if (!options.apiKey) {
            fail(error, u"无法从 "_s + *keyFile + u" 读取 API 密钥"_s);
            return std::nullopt;
        }
    }
    if (!options.apiKey && qEnvironmentVariableIsSet("VELMORA_API_KEY"))
        options.apiKey = qEnvironmentVariable("VELMORA_API_KEY");
    return options;
}

void CliOptions::applyTo(AppSettings& settings) const
{
    if (engine)
        settings.engineRaw = *engine;
    if (endpoint)
        settings.ollamaEndpoint = *endpoint;
    if (baseUrl)
        settings.openAIBaseURL = *baseUrl;
    if (apiKey)
        settings.openAIKey = *apiKey;
    // After the engine, so the name goes to the engine this run uses.
    if (model)
        settings.setModel(*model);
    if (frames)
        settings.frameCount = *frames;
    // After the engine too: the count is the selected engine's.
    if (concurrency)
        settings.setMaxConcurrentRequests(*concurrency);
    if (target)
        settings.mediaTargetRaw = *target;
    if (separator)
        settings.separator = *separator;
    if (noDate)
        settings.includeDate = false;
    if (noLocation)
        settings.includeLocation = false;
    if (noContent)
        settings.includeContent = false;
    if (noOriginal)
        settings.includeOriginal = false;
    if (noPathPlace)
        settings.usePathPlace = false;
    if (geocode)
        settings.useGPSGeocoding = true;
    if (geocoder)
        settings.geocoderURL = *geocoder;
}
