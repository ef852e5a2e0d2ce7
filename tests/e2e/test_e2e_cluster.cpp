// The launchers of docs/cluster, run as they stand on this machine: GNU parallel with this machine as its
// only host, the Slurm array script with the task variables set by hand, the Kubernetes manifest read as
// YAML; the shards' reports merged by merge-reports.py add up to the tree.

#include "e2e/ShardTree.h"

#include <QJsonArray>
#include <QStandardPaths>

using namespace e2e;

namespace {

const QString kCluster = QStringLiteral(TAMSOREL_SOURCE_DIR "/docs/cluster");

Result runTool(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    QProcess p;
    p.setProgram(program);
    p.setArguments(args);
    p.setProcessEnvironment(env);
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, 600000);
}

} // namespace

class E2eCluster : public QObject
{
    Q_OBJECT
private slots:
    void launchersCleanTheTreeOnce_data();
    void launchersCleanTheTreeOnce();
    void mergeFindsWhatDoesNotFit_data();
    void mergeFindsWhatDoesNotFit();
    void kubernetesManifestHasWhatItNeeds();
};

void E2eCluster::launchersCleanTheTreeOnce_data()
{
    QTest::addColumn<QString>("launcher");
    QTest::addColumn<int>("shards");
    QTest::newRow("GNU parallel, 3 shards") << "parallel" << 3;
    QTest::newRow("Slurm array, 4 tasks") << "slurm" << 4;
}

void E2eCluster::launchersCleanTheTreeOnce()
{
    QFETCH(QString, launcher);
    QFETCH(int, shards);
    if (QStandardPaths::findExecutable("python3").isEmpty())
        QSKIP("needs python3 for merge-reports.py");
    if (launcher == "parallel" && QStandardPaths::findExecutable("parallel").isEmpty())
        QSKIP("needs GNU parallel (scripts/install-deps installs it)");
    QTemporaryDir root;
    Program program(root.path());
    QVERIFY(program.ok());
    QVERIFY(program.setPurge("thumbs.db\n"));
    const QString tree = root.filePath("zips");
    const QString reports = root.filePath("reports");
    int damaged = 0;
    QVERIFY(makeShardTree(tree, &damaged));
    QVERIFY(QDir().mkpath(reports));

    QProcessEnvironment env = environment();
    env.insert("TAMSOREL", program.exe());
    env.insert("ROOT", tree);
    env.insert("REPORTS", reports);
    if (launcher == "parallel") {
        env.insert("HOSTS", ":"); // this machine
        env.insert("SHARDS", QString::number(shards));
        const Result r = runTool("/bin/sh", {kCluster + "/parallel.sh"}, env);
        QVERIFY2(!r.sanitizerReport(), r.err.constData());
        // parallel's status is the number of shards that did not end with 0: those that found damage.
        QVERIFY2(r.exitCode >= 1 && r.exitCode <= shards, r.err.constData());
    } else {
        env.insert("SLURM_ARRAY_TASK_COUNT", QString::number(shards));
        env.insert("SLURM_CPUS_PER_TASK", "2");
        for (int k = 0; k < shards; ++k) {
            env.insert("SLURM_ARRAY_TASK_ID", QString::number(k));
            const Result r = runTool("/bin/sh", {kCluster + "/slurm-array.sh"}, env);
            QVERIFY2(!r.sanitizerReport(), r.err.constData());
            QVERIFY2(r.exitCode == 0 || r.exitCode == 3, r.err.constData());
            QVERIFY(r.out.isEmpty()); // -q
        }
    }

    QStringList files;
    for (int k = 0; k < shards; ++k)
        files << reports + QStringLiteral("/shard-%1.jsonl").arg(k);
    const Result merged = runTool("python3", QStringList{kCluster + "/merge-reports.py"} + files, environment());
    QCOMPARE(merged.exitCode, 0);
    const QJsonObject total = QJsonDocument::fromJson(merged.out).object();
    QCOMPARE(total.value("problems").toArray().size(), 0);
    QCOMPARE(total.value("shards").toInt(), shards);
    QCOMPARE(total.value("folders").toInt(), 200);
    QCOMPARE(total.value("processed").toInt(), 200);
    QCOMPARE(total.value("damaged").toInt(), damaged);
    QCOMPARE(total.value("damaged_archives").toArray().size(), damaged);
    QCOMPARE(total.value("status").toInt(), 3);
    // Every archive cleaned once: the damaged renamed, the others without their junk.
    QCOMPARE(e2e::tree(tree).filter(QRegularExpression("\\.zip\\.bad$")).size(), damaged);
    QVERIFY(QFileInfo::exists(tree + "/a0.zip.bad"));
    QCOMPARE(testzip::names(tree + "/d00/s1/a3.zip"), QStringList{"keep.txt"});
}

void E2eCluster::mergeFindsWhatDoesNotFit_data()
{
    QTest::addColumn<QStringList>("shardsGiven"); // the --shard of each report merged
    QTest::addColumn<QString>("problem");
    QTest::newRow("a shard missing") << QStringList{"0/3", "2/3"} << "shards present";
    QTest::newRow("a shard twice") << QStringList{"0/3", "1/3", "2/3", "1/3"} << "cleaned by";
    QTest::newRow("shards of different runs") << QStringList{"0/3", "1/2"} << "not shards of one run";
}

void E2eCluster::mergeFindsWhatDoesNotFit()
{
    QFETCH(QStringList, shardsGiven);
    QFETCH(QString, problem);
    if (QStandardPaths::findExecutable("python3").isEmpty())
        QSKIP("needs python3 for merge-reports.py");
    QTemporaryDir root;
    Program program(root.path());
    QVERIFY(program.ok());
    const QString tree = root.filePath("zips");
    QVERIFY(makeShardTree(tree));
    QStringList files;
    for (int i = 0; i < shardsGiven.size(); ++i) {
        const QString report = root.filePath(QStringLiteral("r%1.jsonl").arg(i));
        QProcess p;
        prepare(p, program, QString());
        p.setArguments({"-r", "--dry-run", "--shard", shardsGiven[i], "--report", report, tree});
        p.start();
        QVERIFY(p.waitForStarted());
        const Result shard = collect(p, 600000);
        QVERIFY2(shard.exitCode == 0 || shard.exitCode == 3, shard.err.constData());
        files << report;
    }
    const Result merged = runTool("python3", QStringList{kCluster + "/merge-reports.py"} + files, environment());
    QCOMPARE(merged.exitCode, 1);
    const QJsonArray problems = QJsonDocument::fromJson(merged.out).object().value("problems").toArray();
    bool named = false;
    for (const QJsonValue& p : problems)
        named = named || p.toString().contains(problem);
    QVERIFY2(named, merged.out.constData());
}

void E2eCluster::kubernetesManifestHasWhatItNeeds()
{
    // The manifest read by a YAML parser, the fields a cluster needs printed as JSON for the checks below.
    const QString script = QStringLiteral(R"(
import json, sys, yaml
job = yaml.safe_load(open(sys.argv[1]))
pod = job["spec"]["template"]["spec"]
c = pod["containers"][0]
print(json.dumps({"kind": job["kind"], "api": job["apiVersion"], "mode": job["spec"]["completionMode"],
    "completions": job["spec"]["completions"], "parallelism": job["spec"]["parallelism"],
    "restart": pod["restartPolicy"], "args": " ".join(c.get("command", []) + c.get("args", [])),
    "mounts": [m["mountPath"] for m in c["volumeMounts"]],
    "volumes": sorted(v["name"] for v in pod["volumes"]), "mountNames": sorted(m["name"] for m in c["volumeMounts"]),
    "env": {e["name"]: e.get("value") for e in c.get("env", [])}}))
)");
    if (QStandardPaths::findExecutable("python3").isEmpty())
        QSKIP("needs python3");
    const Result r = runTool("python3", {"-c", script, kCluster + "/kubernetes-job.yaml"}, environment());
    if (r.err.contains("No module named 'yaml'"))
        QSKIP("needs python3-yaml");
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QJsonObject job = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(job.value("kind").toString(), QStringLiteral("Job"));
    QCOMPARE(job.value("api").toString(), QStringLiteral("batch/v1"));
    QCOMPARE(job.value("mode").toString(), QStringLiteral("Indexed"));
    QCOMPARE(job.value("restart").toString(), QStringLiteral("Never"));
    const int n = job.value("completions").toInt();
    QVERIFY(n > 1);
    QCOMPARE(job.value("parallelism").toInt(), n);
    const QString args = job.value("args").toString();
    // The shard count in the command is the Job's completions; the index is the pod's.
    QVERIFY2(args.contains(QStringLiteral("--shard \"$JOB_COMPLETION_INDEX/%1\"").arg(n)), qPrintable(args));
    QVERIFY2(args.contains(" -r ") && args.contains(" -q "), qPrintable(args));
    const QJsonArray mounts = job.value("mounts").toArray();
    QVERIFY(mounts.contains(QJsonValue("/srv/zips")));
    QVERIFY2(args.contains(" /srv/zips;"), qPrintable(args)); // the folder cleaned is the one mounted
    QVERIFY2(args.contains("--report \"/reports/"), qPrintable(args));
    QVERIFY(mounts.contains(QJsonValue("/reports")));
    QCOMPARE(job.value("volumes").toArray(), job.value("mountNames").toArray());
    // The verdict cache on the node's own disk, not on the shared volume.
    const QString cache = job.value("env").toObject().value("XDG_CACHE_HOME").toString();
    QVERIFY(mounts.contains(QJsonValue(cache)));
}

QTEST_GUILESS_MAIN(E2eCluster)
#include "test_e2e_cluster.moc"
