#include "platform/posix/trust/code_signer.h"

#include <fcntl.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/fd_io.h"
#include "platform/posix/trust/appended_signature.h"
#include "platform/posix/trust/authenticode.h"
#include "platform/posix/trust/code_signing_usage.h"
#include "platform/posix/trust/fd_range_bio.h"
#include "platform/posix/trust/openssl_handles.h"
#include "platform/posix/trust/signature_block.h"
#include "platform/posix/trust/stamp_attribute.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

using namespace platform::openssl;

// Empty when the step succeeded, otherwise the reason.
using Failure = std::string;

Failure SystemFailure(const std::string& what) { return what + ": " + std::strerror(errno); }

// Never prompts on a terminal for a passphrase: a signing tool runs unattended.
int RefusePassphrase(char*, int, int, void*) { return -1; }

struct Credentials {
    KeyPtr key;
    CertificatePtr certificate;
    CertificatesPtr chain{sk_X509_new_null()};
    ReleaseStamp stamp;
};

Failure ReadChain(const std::string& path, STACK_OF(X509) * chain) {
    const BioPtr file(BIO_new_file(path.c_str(), "rb"));
    if (!file) return SystemFailure("cannot open the chain " + path);
    if (!ReadPemCertificates(file.get(), chain)) {
        return "the chain " + path + " is not a list of PEM certificates";
    }
    return {};
}

// The verifier refuses a signature carrying a certificate beside the signer's path, so each
// one of the chain has to issue the signer or another one of the chain, in any order.
bool ChainIsPath(X509* signer, STACK_OF(X509) * chain) {
    const int size = sk_X509_num(chain);
    std::vector<bool> placed(static_cast<size_t>(size));
    int count = 0;
    for (X509* subject = signer;; ++count) {
        int issuer = 0;
        while (issuer < size &&
               (placed[static_cast<size_t>(issuer)] ||
                X509_check_issued(sk_X509_value(chain, issuer), subject) != X509_V_OK)) {
            ++issuer;
        }
        if (issuer == size) break;
        placed[static_cast<size_t>(issuer)] = true;
        subject = sk_X509_value(chain, issuer);
    }
    return count == size;
}

Failure LoadCredentials(const std::string& keyPath, const std::string& certificatePath,
                        const std::string& chainPath, Credentials* credentials) {
    const BioPtr keyFile(BIO_new_file(keyPath.c_str(), "rb"));
    if (!keyFile) return SystemFailure("cannot open the key " + keyPath);
    credentials->key.reset(
        PEM_read_bio_PrivateKey(keyFile.get(), nullptr, RefusePassphrase, nullptr));
    if (!credentials->key) return "no unencrypted PEM private key in " + keyPath;

    const BioPtr certificateFile(BIO_new_file(certificatePath.c_str(), "rb"));
    if (!certificateFile) return SystemFailure("cannot open the certificate " + certificatePath);
    credentials->certificate.reset(
        PEM_read_bio_X509(certificateFile.get(), nullptr, RefusePassphrase, nullptr));
    if (!credentials->certificate) return "no PEM certificate in " + certificatePath;

    if (!credentials->chain) return "out of memory";
    if (!chainPath.empty()) {
        if (Failure failure = ReadChain(chainPath, credentials->chain.get()); !failure.empty()) {
            return failure;
        }
    }
    if (X509_check_private_key(credentials->certificate.get(), credentials->key.get()) != 1) {
        return "the key " + keyPath + " does not belong to the certificate " + certificatePath;
    }
    if (!AllowsCodeSigning(credentials->certificate.get())) {
        return "the certificate " + certificatePath +
               " does not allow code signing (it needs the extended key usage codeSigning)";
    }
    if (!ChainIsPath(credentials->certificate.get(), credentials->chain.get())) {
        return "the chain " + chainPath + " holds a certificate that does not issue " +
               certificatePath + " or another certificate of the chain";
    }
    return {};
}

// A new file beside the output; removed unless it replaced the output.
class PendingOutput {
public:
    explicit PendingOutput(const std::string& outputPath) : outputPath_(outputPath) {
        const size_t slash = outputPath.rfind('/');
        directory_ =
            slash == std::string::npos ? "." : outputPath.substr(0, std::max<size_t>(slash, 1));
        path_ = directory_ + "/.tern-sign-XXXXXX";
        fd_ = UniqueFd(mkostemp(path_.data(), O_CLOEXEC));
        if (!fd_.Valid()) error_ = SystemFailure("cannot create a file in " + directory_);
    }
    ~PendingOutput() {
        if (!committed_ && fd_.Valid()) unlink(path_.c_str());
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const Failure& Error() const { return error_; }
    int Fd() const { return fd_.Get(); }

    Failure Commit(mode_t mode) {
        if (fchmod(fd_.Get(), mode) != 0) return SystemFailure("cannot set the mode of " + path_);
        if (fsync(fd_.Get()) != 0) return SystemFailure("cannot write " + path_);
        if (rename(path_.c_str(), outputPath_.c_str()) != 0) {
            return SystemFailure("cannot replace " + outputPath_);
        }
        committed_ = true;
        // The output is complete either way; syncing the directory only makes the rename durable.
        SyncDirectory(directory_);
        return {};
    }

private:
    std::string outputPath_;
    std::string directory_;
    std::string path_;
    UniqueFd fd_;
    Failure error_;
    bool committed_ = false;
};

// Copies all of `from` to `to` and answers the number of bytes, so that the signature is made
// over the copy it is appended to, whatever happens to the input meanwhile.
Failure CopyFile(int from, int to, uint64_t* copied) {
    std::vector<unsigned char> buffer(1 << 18);
    *copied = 0;
    for (;;) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return SystemFailure("cannot read the input");
        if (got == 0) return {};
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(got))) {
            return SystemFailure("cannot write the output");
        }
        *copied += static_cast<uint64_t>(got);
    }
}

Failure Sign(int payloadFd, uint64_t payloadSize, const Credentials& credentials,
             std::vector<unsigned char>* der) {
    constexpr unsigned kFlags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
    const CmsPtr cms(
        CMS_sign(nullptr, nullptr, credentials.chain.get(), nullptr, kFlags | CMS_PARTIAL));
    // The signer's attributes are signed only by CMS_final, so the stamp can join them here.
    CMS_SignerInfo* signer = cms ? CMS_add1_signer(cms.get(), credentials.certificate.get(),
                                                   credentials.key.get(), EVP_sha256(), kFlags)
                                 : nullptr;
    if (!signer || (credentials.stamp.Present() && !AddStamp(signer, credentials.stamp))) {
        return "cannot prepare the signature: " + FirstErrorText("unknown error");
    }
    FdRangeBio payload(payloadFd, payloadSize);
    if (!payload.Get()) return "out of memory";
    const int signedOk = CMS_final(cms.get(), payload.Get(), nullptr, kFlags);
    if (payload.Incomplete()) return "cannot read back the copied input";
    if (signedOk != 1) return "cannot sign: " + FirstErrorText("unknown error");

    const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (size <= 0 || static_cast<uint32_t>(size) > kMaxSignatureSize) {
        return "the signature cannot be encoded within " + std::to_string(kMaxSignatureSize) +
               " bytes";
    }
    der->resize(static_cast<size_t>(size));
    unsigned char* cursor = der->data();
    i2d_CMS_ContentInfo(cms.get(), &cursor);
    // Whatever OpenSSL put in, the verifier's rules for the block hold for what is written.
    if (std::string problem = CheckSignatureBlock(*der, cms.get(), credentials.certificate.get());
        !problem.empty()) {
        return "cannot make an acceptable signature: " + problem;
    }
    return {};
}

Failure AppendSignature(int fd, uint64_t payloadSize, const Credentials& credentials) {
    std::vector<unsigned char> der;
    if (Failure failure = Sign(fd, payloadSize, credentials, &der); !failure.empty()) {
        return failure;
    }
    const std::vector<unsigned char> trailer = BuildSignatureTrailer(der);
    if (!WriteAll(fd, trailer.data(), trailer.size())) {
        return SystemFailure("cannot write the output");
    }
    return {};
}

Failure WriteAt(int fd, uint64_t offset, const unsigned char* bytes, size_t size) {
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 || !WriteAll(fd, bytes, size)) {
        return SystemFailure("cannot write the output");
    }
    return {};
}

// The copy of the program `inputPath` at `fd` gets its Authenticode signature: the table at the
// end, the security directory naming it, and the checksum over all of it.
Failure SignProgram(const std::string& inputPath, int fd, uint64_t size,
                    const Credentials& credentials) {
    PeLayout layout = ReadPeLayout(PeFileReader(fd), size);
    if (!layout.problem.empty()) {
        return "the input " + inputPath + " is not a well-formed PE program: " + layout.problem;
    }
    if (layout.tableSize != 0) {
        return "the input " + inputPath +
               " already has a certificate table: sign the program as built, unsigned";
    }
    // The table begins at a multiple of 8; the zeros before it are part of the image.
    const std::vector<unsigned char> zeros((8 - size % 8) % 8);
    layout.imageEnd = size + zeros.size();
    ImageDigest digest;
    if (!WriteAll(fd, zeros.data(), zeros.size()) || !DigestImage(fd, layout, &digest)) {
        return SystemFailure("cannot pad and read back the copied input");
    }
    std::string problem;
    std::vector<SignedAttribute> stamp;
    if (credentials.stamp.Present()) stamp.push_back(StampAttribute(credentials.stamp));
    const Bytes der =
        MakeAuthenticodeSignature(digest, credentials.certificate.get(), credentials.key.get(),
                                  credentials.chain.get(), stamp, &problem);
    if (der.empty()) return problem;
    const std::vector<unsigned char> table = CertificateTable(der);
    if (table.size() > kMaxCertificateTableSize || layout.imageEnd + table.size() > UINT32_MAX) {
        return "the signed program would exceed its format's limits (a table of 1 MiB, a file of "
               "4 GiB)";
    }
    unsigned char entry[8];
    PutLittleEndian(static_cast<uint32_t>(layout.imageEnd), entry, 4);
    PutLittleEndian(static_cast<uint32_t>(table.size()), entry + 4, 4);
    Failure failure = WriteAt(fd, layout.imageEnd, table.data(), table.size());
    if (failure.empty()) failure = WriteAt(fd, layout.securityEntryOffset, entry, sizeof entry);
    uint32_t checksum = 0;
    if (failure.empty() &&
        !ComputePeChecksum(fd, layout.imageEnd + table.size(), layout.checksumOffset, &checksum)) {
        failure = SystemFailure("cannot read back the output");
    }
    if (!failure.empty()) return failure;
    unsigned char checksumField[4];
    PutLittleEndian(checksum, checksumField, 4);
    return WriteAt(fd, layout.checksumOffset, checksumField, sizeof checksumField);
}

Failure SignInto(const std::string& inputPath, const Credentials& credentials,
                 PendingOutput* output) {
    const UniqueFd input(open(inputPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (!input.Valid() || fstat(input.Get(), &info) != 0) {
        return SystemFailure("cannot open the input " + inputPath);
    }
    if (!S_ISREG(info.st_mode)) return "the input " + inputPath + " is not a regular file";

    uint64_t payloadSize = 0;
    if (Failure failure = CopyFile(input.Get(), output->Fd(), &payloadSize); !failure.empty()) {
        return failure;
    }
    Failure failure = LooksLikePeProgram(PeFileReader(output->Fd()), payloadSize)
                          ? SignProgram(inputPath, output->Fd(), payloadSize, credentials)
                          : AppendSignature(output->Fd(), payloadSize, credentials);
    return failure.empty() ? output->Commit(info.st_mode & 0777) : failure;
}

}  // namespace

SigningResult SignFile(const std::string& inputPath, const std::string& keyPemPath,
                       const std::string& certPemPath, const std::string& chainPemPath,
                       const std::string& outputPath, const ReleaseStamp& stamp) {
    const ErrorQueueScope errorQueue;
    Credentials credentials;
    credentials.stamp = stamp;
    Failure failure =
        stamp.Present() || !stamp.product.empty() ? CheckReleaseStamp(stamp) : Failure();
    if (failure.empty()) {
        failure = LoadCredentials(keyPemPath, certPemPath, chainPemPath, &credentials);
    }
    if (failure.empty()) {
        PendingOutput output(outputPath);
        failure =
            output.Error().empty() ? SignInto(inputPath, credentials, &output) : output.Error();
    }
    return {failure.empty(), failure};
}

}  // namespace platform
