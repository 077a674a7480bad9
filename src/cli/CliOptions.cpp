// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"

#include "cli/Commands.h"
#include "common/AppSettings.h"

using namespace Qt::StringLiterals;

namespace {

// Options that take a value, and the flags.
const QStringList ValueOptions { u"engine"_s, u"endpoint"_s, u"base-url"_s, u"api-key"_s, u"model"_s,
    u"frames"_s, u"target"_s, u"separator"_s, u"geocoder"_s, u"frames-dir"_s };
const QStringList FlagOptions { u"json"_s, u"no-date"_s, u"no-location"_s, u"no-content"_s, u"no-original"_s,
    u"no-path-place"_s, u"geocode"_s, u"help"_s, u"version"_s, u"last"_s, u"rename"_s };

} // namespace

QString CliOptions::helpText()
{
    return uR"(用法: velmora-cli [选项] 命令 [参数...]

命令:
  settings               显示生效的设置（已应用命令行选项）
  import PATH...         像窗口一样导入文件和文件夹，列出导入的素材
  inspect FILE... [--frames DIR]  显示类型、拍摄日期、GPS 坐标和时长；--frames DIR（或 --frames-dir DIR）把抽取的帧和拼图写入 DIR/<文件名>/
  models                 列出所选引擎的模型
  pull NAME              通过本机 Ollama 下载模型，进度输出到标准错误
  doctor                 检查本机 Ollama 是否已安装、正在运行并已有模型
  analyze PATH... [--rename]  导入并分析，给出建议的新文件名；--rename 随后执行重命名
  undo [LOG | --last]    按撤销记录把文件改回原名（--last 或不给参数：本用户最近的一次）

选项:
  --engine ollama|openai 视觉模型后端
  --endpoint URL         本机 Ollama 地址
  --base-url URL         OpenAI 兼容接口地址
  --api-key KEY          API Key（也可用环境变量 VELMORA_API_KEY）
  --model NAME           模型名称
  --frames N             每个视频抽取的帧数（1–6）
  --target videos|photos|both  处理对象
  --separator S          文件名各部分之间的分隔符
  --no-date --no-location --no-content --no-original  文件名中不包含该部分
  --no-path-place        不从文件夹名推断地点
  --geocode              用 GPS 坐标反查地名
  --geocoder URL         反查地名服务地址（Nominatim 兼容接口）
  --json                 以 JSON 输出结果
  --help                 显示本帮助
  --version              显示版本

退出状态: 0 全部完成；1 有素材失败；2 用法错误、输入不可读，或所给文件都不在处理对象内
)"_s;
}

std::optional<CliOptions> CliOptions::parse(const QStringList& argv, QString* error)
{
    CliOptions options;
    std::optional<QString> framesValue;
    QStringList positional;
    bool onlyPositional = false;
    for (qsizetype i = 1; i < argv.size(); ++i) {
        const QString& arg = argv.at(i);
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
        if (FlagOptions.contains(name)) {
            if (value) {
                *error = u"选项 --"_s + name + u" 不带参数"_s;
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
            options.rename |= name == u"rename";
            continue;
        }
        if (!ValueOptions.contains(name)) {
            *error = u"未知选项: "_s + arg;
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= argv.size()) {
                *error = u"选项 --"_s + name + u" 需要一个值"_s;
                return std::nullopt;
            }
            value = argv.at(++i);
        }
        if (name == u"engine") {
            if (*value != u"ollama" && *value != u"openai") {
                *error = u"--engine 只能是 ollama 或 openai"_s;
                return std::nullopt;
            }
            options.engine = *value;
        } else if (name == u"target") {
            if (*value != u"videos" && *value != u"photos" && *value != u"both") {
                *error = u"--target 只能是 videos、photos 或 both"_s;
                return std::nullopt;
            }
            options.target = *value;
        } else if (name == u"frames") {
            bool ok = false;
            const int frames = value->toInt(&ok);
            if (!ok) {
                // Not a count: inspect's output folder (checked once the command is known).
                framesValue = *value;
                continue;
            }
            if (frames < 1 || frames > 6) {
                *error = u"--frames 需要 1 到 6 之间的整数"_s;
                return std::nullopt;
            }
            options.frames = frames;
        } else if (name == u"frames-dir") {
            options.framesDir = *value;
        } else if (name == u"endpoint") {
            options.endpoint = *value;
        } else if (name == u"base-url") {
            options.baseUrl = *value;
        } else if (name == u"api-key") {
            options.apiKey = *value;
        } else if (name == u"model") {
            options.model = *value;
        } else if (name == u"separator") {
            options.separator = *value;
        } else if (name == u"geocoder") {
            options.geocoder = *value;
        }
    }

    if (!options.apiKey && qEnvironmentVariableIsSet("VELMORA_API_KEY"))
        options.apiKey = qEnvironmentVariable("VELMORA_API_KEY");
    if (options.help || options.version)
        return options;
    if (positional.isEmpty()) {
        *error = u"缺少命令"_s;
        return std::nullopt;
    }
    options.command = positional.takeFirst();
    const Commands::Command* command = Commands::find(options.command);
    if (!command) {
        *error = u"未知命令: "_s + options.command;
        return std::nullopt;
    }
    options.arguments = positional;
    if (framesValue) {
        if (options.command != u"inspect") {
            *error = u"--frames 需要 1 到 6 之间的整数"_s;
            return std::nullopt;
        }
        if (!options.framesDir)
            options.framesDir = framesValue;
    }
    if (options.arguments.size() < command->minArguments) {
        *error = options.command + u" 缺少参数"_s;
        return std::nullopt;
    }
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
